#include "session/SimFaults.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"

namespace qdm::session {

namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

// Decimal, or hexadecimal with 0x.
std::optional<std::uint64_t> Number(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// Chip 1..4 of the board's flash.
sim::SerialFlash* ChipOf(sim::VirtualDongle& dongle, std::uint64_t chip) {
    if (auto* k3r8 = dongle.K3r8(); k3r8 != nullptr && chip >= 1 && chip <= 4)
        return &k3r8->Chip(static_cast<std::size_t>(chip - 1));
    if (chip != 1) return nullptr;
    if (auto* k3r1 = dongle.K3r1()) return &k3r1->Chip();
    if (auto* demo = dongle.Demo()) return &demo->Chip();
    return nullptr;
}

bool ApplyOne(std::string_view fault, sim::VirtualDongle& dongle) {
    const auto at = fault.find('@');
    if (at != std::string_view::npos) {
        const std::string_view kind = fault.substr(0, at);
        const auto args = Split(fault.substr(at + 1), ':');
        const auto exchange = Number(args[0]);
        if (!exchange || *exchange == 0) return false;
        if (kind == "unplug" && args.size() == 1) {
            dongle.UnplugAtExchange(*exchange);
        } else if (kind == "noreply" && args.size() == 1) {
            dongle.NoReplyAtExchange(*exchange);
        } else if (kind == "lost" && args.size() == 1) {
            dongle.LoseListAtExchange(*exchange);
        } else if (kind == "corrupt" && args.size() <= 3) {
            const auto offset = args.size() > 1 ? Number(args[1]) : std::optional<std::uint64_t>(0);
            const auto mask =
                args.size() > 2 ? Number(args[2]) : std::optional<std::uint64_t>(0xFF);
            if (!offset || !mask || *mask > 0xFF) return false;
            dongle.CorruptReplyAtExchange(*exchange, static_cast<std::size_t>(*offset),
                                          static_cast<std::uint8_t>(*mask));
        } else {
            return false;
        }
        return true;
    }
    const auto args = Split(fault, ':');
    const std::string_view kind = args[0];
    if (kind == "busy" && args.size() == 1) {
        dongle.SetBoardBusy(true);
    } else if (kind == "endless-erase" && args.size() == 1) {
        if (auto* demo = dongle.Demo()) demo->SetEraseBusyPolls(std::nullopt);
        dongle.McuRomFlash().SetErasePollReads(std::nullopt);
    } else if ((kind == "noerase" || kind == "erasefail") && args.size() <= 2) {
        const auto chip = args.size() > 1 ? Number(args[1]) : std::optional<std::uint64_t>(1);
        if (!chip) return false;
        if (dongle.Config().kind == sim::DongleKind::McuRom) {
            dongle.McuRomFlash().SetEraseRefused(true);
            return true;
        }
        sim::SerialFlash* flash = ChipOf(dongle, *chip);
        if (flash == nullptr) return false;
        flash->SetEraseFault(kind == "noerase" ? sim::EraseFault::Silent
                                               : sim::EraseFault::Reported);
    } else if (kind == "stuck" && (args.size() == 4 || args.size() == 5)) {
        const auto chip = Number(args[1]);
        const auto address = Number(args[2]);
        const auto bit = Number(args[3]);
        const auto value = args.size() == 5 ? Number(args[4]) : std::optional<std::uint64_t>(0);
        if (!chip || !address || !bit || *bit > 7 || !value || *value > 1) return false;
        sim::SerialFlash* flash = ChipOf(dongle, *chip);
        if (flash == nullptr) return false;
        flash->AddStuckBit(
            {static_cast<std::uint32_t>(*address), static_cast<std::uint8_t>(*bit), *value == 1});
    } else if (kind == "hwversion" && args.size() == 2) {
        const auto bytes = Split(args[1], '.');
        if (bytes.size() != 4) return false;
        std::array<std::uint8_t, 4> version{};
        for (std::size_t i = 0; i < 4; ++i) {
            const auto b = Number("0x" + std::string(bytes[i]));
            if (!b || *b > 0xFF) return false;
            version[i] = static_cast<std::uint8_t>(*b);
        }
        dongle.SetHardwareVersion(version);
    } else if (kind == "boardid" && args.size() == 2) {
        const auto id = Number(args[1]);
        if (!id || *id > 0xFF) return false;
        dongle.SetBoardIdOverride(static_cast<std::uint8_t>(*id));
    } else if ((kind == "foreign" || kind == "absent") && args.size() == 1) {
        // Applied to the configuration before the dongle was built.
    } else {
        return false;
    }
    return true;
}

}  // namespace

void ApplyConfigFaults(const std::vector<std::string>& faults, sim::DongleConfig& config) {
    for (const std::string& fault : faults) {
        if (fault == "foreign") config.productId = 0x8613;
        if (fault == "absent") config.startPlugged = false;
    }
}

bool ApplySimFaults(const std::vector<std::string>& faults, sim::VirtualDongle& dongle,
                    std::string& error) {
    for (const std::string& fault : faults) {
        if (!ApplyOne(fault, dongle)) {
            error = "cannot inject --sim-fault " + fault;
            return false;
        }
    }
    return true;
}

std::string SimFaultHelp() {
    return "Faults of the virtual dongle (--sim-fault FAULT, repeatable):\n"
           "  unplug@N            the dongle is pulled out when the N-th command list arrives\n"
           "  noreply@N           the N-th command list runs but its reply never comes\n"
           "  lost@N              the N-th command list is lost on its way: its transfer fails\n"
           "  corrupt@N[:OFF[:MASK]]  reply byte OFF (0) of list N is XORed with MASK (0xFF)\n"
           "  noerase[:CHIP]      flash chip CHIP (1-4, default 1) silently keeps its data on "
           "erase\n"
           "  erasefail[:CHIP]    chip CHIP refuses to erase and says so\n"
           "  stuck:CHIP:ADDR:BIT[:VALUE]  a bit of chip CHIP that always reads VALUE (0)\n"
           "  busy                the client board is busy\n"
           "  endless-erase       the demoboard's (or MCU-ROM's) erase never finishes\n"
           "  hwversion:AA.BB.CC.DD  the hardware version the dongle reports (hex bytes)\n"
           "  boardid:ID          the client board identification byte\n"
           "  foreign             the dongle reports product ID 0x8613\n"
           "  absent              no dongle is plugged in\n";
}

}  // namespace qdm::session
