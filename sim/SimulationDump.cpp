#include "sim/SimulationDump.h"

#include <array>
#include <cstdio>
#include <sstream>
#include <string>
#include <system_error>

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

std::string Exchanges(const VirtualDongle& dongle) {
    std::ostringstream out;
    for (const ExchangeRecord& r : dongle.ExchangeLog()) {
        out << '#' << r.index << ' ' << FirmwareStateName(r.state) << " list[" << r.command.size()
            << "] " << Hex(r.command, 16) << " | reply[" << r.reply.size() << "] "
            << Hex(r.reply, 32) << (r.delivered ? "" : " (withheld)") << FaultName(r.fault) << '\n';
    }
    return out.str();
}

std::string Controls(const VirtualDongle& dongle) {
    std::ostringstream out;
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
    return out.str();
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::vector<std::string> DongleDumpFileNames() {
    return {"ram.bin",   "mcurom.bin", "chip1.bin",     "chip2.bin",   "chip3.bin",
            "chip4.bin", "flash.bin",  "exchanges.txt", "controls.txt"};
}

bool WriteDongleDump(VirtualDongle& dongle, const std::filesystem::path& folder,
                     std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        if (error != nullptr) *error = "cannot create " + folder.string() + ": " + ec.message();
        return false;
    }
    bool ok = true;
    const auto write = [&](const char* name, std::span<const std::uint8_t> bytes) {
        if (!ok) return;
        const std::filesystem::path file = folder / name;
        std::string why;
        if (!WriteFileFrom(bytes, file, &why)) {
            ok = false;
            if (error != nullptr) *error = file.string() + ": " + why;
        }
    };
    write("ram.bin", dongle.Ram());
    if (dongle.Config().kind == DongleKind::McuRom) {
        write("mcurom.bin", dongle.McuRomFlash().Contents());
    } else if (K3r8Board* r8 = dongle.K3r8()) {
        constexpr std::array<const char*, K3r8Board::kChipCount> kChips = {
            "chip1.bin", "chip2.bin", "chip3.bin", "chip4.bin"};
        for (std::size_t c = 0; c < K3r8Board::kChipCount; ++c)
            write(kChips[c], r8->Chip(c).Contents());
    } else if (K3r1Board* r1 = dongle.K3r1()) {
        write("flash.bin", r1->Chip().Contents());
    } else if (Demoboard* demo = dongle.Demo()) {
        write("flash.bin", demo->Chip().Contents());
    }
    write("exchanges.txt", Bytes(Exchanges(dongle)));
    write("controls.txt", Bytes(Controls(dongle)));
    return ok;
}

}  // namespace qdm::sim
