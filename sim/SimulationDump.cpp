#include "sim/SimulationDump.h"

#include <cstdio>
#include <fstream>
#include <string>

#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"
#include "usb/Fileiofunctions.h"

namespace qdm::sim {

namespace {

// At most `limit` bytes as hexadecimal, with an ellipsis when there are more.
std::string Hex(std::span<const std::uint8_t> bytes, std::size_t limit) {
    std::string text;
    char two[4];
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(bytes[i]));
        if (i > 0) text += ' ';
        text += two;
    }
    if (bytes.size() > limit) text += " ...";
    return text;
}

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Unplug:
            return " fault=unplug";
        case FaultKind::NoReply:
            return " fault=no-reply";
        case FaultKind::CorruptReply:
            return " fault=corrupt";
        case FaultKind::LoseList:
            return " fault=lost-list";
        case FaultKind::None:
            break;
    }
    return "";
}

bool WriteExchanges(const VirtualDongle& dongle, const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const ExchangeRecord& r : dongle.ExchangeLog()) {
        out << '#' << r.index << ' ' << FirmwareStateName(r.state) << " list[" << r.command.size()
            << "] " << Hex(r.command, 16) << " | reply[" << r.reply.size() << "] "
            << Hex(r.reply, 32) << (r.delivered ? "" : " (withheld)") << FaultName(r.fault) << '\n';
    }
    return static_cast<bool>(out);
}

bool WriteControls(const VirtualDongle& dongle, const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    char setup[64];
    for (const ControlRecord& r : dongle.ControlLog()) {
        std::snprintf(setup, sizeof setup, "%02X %02X %04X %04X %04X",
                      static_cast<unsigned>(r.setup.bmRequestType),
                      static_cast<unsigned>(r.setup.bRequest),
                      static_cast<unsigned>(r.setup.wValue), static_cast<unsigned>(r.setup.wIndex),
                      static_cast<unsigned>(r.setup.wLength));
        out << setup << " | " << Hex(r.data, 32)
            << (r.status == ControlStatus::Ok ? "" : " (failed)") << '\n';
    }
    return static_cast<bool>(out);
}

}  // namespace

bool WriteDongleDump(VirtualDongle& dongle, const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    bool ok = WriteFileFrom(dongle.Ram(), folder / "ram.bin");
    if (dongle.Config().kind == DongleKind::McuRom) {
        ok &= WriteFileFrom(dongle.McuRomFlash().Contents(), folder / "mcurom.bin");
    } else if (K3r8Board* r8 = dongle.K3r8()) {
        for (std::size_t c = 0; c < K3r8Board::kChipCount; ++c)
            ok &= WriteFileFrom(r8->Chip(c).Contents(),
                                folder / ("chip" + std::to_string(c + 1) + ".bin"));
    } else if (K3r1Board* r1 = dongle.K3r1()) {
        ok &= WriteFileFrom(r1->Chip().Contents(), folder / "flash.bin");
    } else if (Demoboard* demo = dongle.Demo()) {
        ok &= WriteFileFrom(demo->Chip().Contents(), folder / "flash.bin");
    }
    ok &= WriteExchanges(dongle, folder / "exchanges.txt");
    ok &= WriteControls(dongle, folder / "controls.txt");
    return ok;
}

}  // namespace qdm::sim
