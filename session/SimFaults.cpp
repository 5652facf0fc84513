#include "session/SimFaults.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <optional>
#include <string_view>

#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"

namespace qdm::session {

namespace {

// The boards of --simulate, as bits.
enum : unsigned { kK3r8 = 1, kK3r1 = 2, kDemo = 4, kMcuRom = 8 };
constexpr unsigned kWriterBoards = kK3r8 | kK3r1 | kDemo;
constexpr unsigned kAllBoards = kWriterBoards | kMcuRom;

constexpr std::array<std::pair<std::string_view, unsigned>, 4> kBoards = {{
    {"k3r8", kK3r8},
    {"k3r1", kK3r1},
    {"demoboard", kDemo},
    {"mcurom", kMcuRom},
}};

// How far one run on a board can reach, so a fault beyond it is refused instead of silently never
// happening. Command lists: a whole run of the largest image the board takes sends 315 (K3.r8,
// 256 KiB), 69 (K3.r1), 344 (demoboard, 2 MiB) or 174 (MCU-ROM, 256 KiB); the demoboard's erase
// may poll 12,000 times and the MCU-ROM's 256; the bounds leave room above all of that. Replies:
// the longest is the K3.r8's and the MCU-ROM's 4 KiB read, the K3.r1's 512-byte read, the
// demoboard's 33-byte answer to its longest list.
struct Reach {
    unsigned board;
    std::uint64_t exchanges;
    std::uint64_t replyBytes;
};
constexpr std::array<Reach, 4> kReach = {{
    {kK3r8, 500, 4096},
    {kK3r1, 200, 512},
    {kDemo, 12500, 33},
    {kMcuRom, 500, 4096},
}};

enum class Kind {
    Unplug,
    NoReply,
    Lost,
    Corrupt,
    NoErase,
    EraseFail,
    Stuck,
    Busy,
    EndlessErase,
    HwVersion,
    BoardId,
    Foreign,
    Absent
};

struct FaultKind {
    Kind kind;
    std::string_view name;
    std::string_view syntax;
    unsigned boards;
    std::string_view help;
};

constexpr std::array<FaultKind, 13> kFaultKinds = {{
    {Kind::Unplug, "unplug", "unplug@N", kAllBoards,
     "the dongle is pulled out when the N-th command list arrives"},
    {Kind::NoReply, "noreply", "noreply@N", kAllBoards,
     "the N-th command list runs but its reply never comes"},
    {Kind::Lost, "lost", "lost@N", kAllBoards,
     "the N-th command list is lost on its way: its transfer fails"},
    {Kind::Corrupt, "corrupt", "corrupt@N[:OFF[:MASK]]", kAllBoards,
     "reply byte OFF (0) of list N is XORed with MASK (0xFF)"},
    {Kind::NoErase, "noerase", "noerase[:CHIP]", kAllBoards,
     "flash chip CHIP (1-4 on k3r8, else 1; default 1) silently keeps\nits data on erase"},
    {Kind::EraseFail, "erasefail", "erasefail[:CHIP]", kAllBoards,
     "chip CHIP refuses to erase and says so"},
    {Kind::Stuck, "stuck", "stuck:CHIP:ADDR:BIT[:VALUE]", kWriterBoards,
     "a bit of chip CHIP that always reads VALUE (0)"},
    {Kind::Busy, "busy", "busy", kWriterBoards, "the client board is busy"},
    {Kind::EndlessErase, "endless-erase", "endless-erase", kDemo | kMcuRom,
     "the erase never finishes"},
    {Kind::HwVersion, "hwversion", "hwversion:AA.BB.CC.DD", kAllBoards,
     "the hardware version the dongle reports (hex bytes)"},
    {Kind::BoardId, "boardid", "boardid:ID", kWriterBoards, "the client board identification byte"},
    {Kind::Foreign, "foreign", "foreign", kAllBoards, "the dongle reports product ID 0x8613"},
    {Kind::Absent, "absent", "absent", kAllBoards, "no dongle is plugged in"},
}};

// A fault as the command line names it; only the values its kind takes are set.
struct Fault {
    const FaultKind* kind = nullptr;
    std::uint64_t exchange = 0;
    std::uint64_t offset = 0;
    std::uint8_t mask = 0xFF;
    std::uint64_t chip = 1;
    std::uint32_t address = 0;
    std::uint8_t bit = 0;
    bool value = false;
    std::array<std::uint8_t, 4> version{};
    std::uint8_t id = 0;
};

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

// Decimal, or hexadecimal with 0x; at most `limit`.
std::optional<std::uint64_t> Number(std::string_view text,
                                    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max(),
                                    int base = 10) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc{} || end != text.data() + text.size() || text.empty() || value > limit)
        return std::nullopt;
    return value;
}

const FaultKind* KindNamed(std::string_view name) {
    for (const FaultKind& kind : kFaultKinds)
        if (kind.name == name) return &kind;
    return nullptr;
}

// The fault's kind and values; nullopt when they do not fit its syntax.
std::optional<Fault> Parse(std::string_view text, const FaultKind*& kind) {
    const std::size_t at = text.find('@');
    const bool exchangeFault = at != std::string_view::npos;
    const auto args = Split(exchangeFault ? text.substr(at + 1) : text, ':');
    kind = KindNamed(exchangeFault ? text.substr(0, at) : args[0]);
    if (kind == nullptr || exchangeFault != (kind->syntax.find('@') != std::string_view::npos))
        return std::nullopt;
    Fault fault;
    fault.kind = kind;
    const std::size_t n = args.size();
    bool ok = true;
    const auto take = [&ok](std::optional<std::uint64_t> number, auto& into) {
        if (!number) ok = false;
        into = static_cast<std::remove_reference_t<decltype(into)>>(number.value_or(0));
    };
    switch (kind->kind) {
        case Kind::Unplug:
        case Kind::NoReply:
        case Kind::Lost:
        case Kind::Corrupt:
            take(Number(args[0]), fault.exchange);
            ok = ok && fault.exchange != 0 && (n == 1 || (kind->kind == Kind::Corrupt && n <= 3));
            if (n > 1) take(Number(args[1]), fault.offset);
            if (n > 2) take(Number(args[2], 0xFF), fault.mask);
            break;
        case Kind::NoErase:
        case Kind::EraseFail:
            ok = n <= 2;
            if (n == 2) take(Number(args[1]), fault.chip);
            break;
        case Kind::Stuck:
            ok = n == 4 || n == 5;
            if (!ok) break;
            take(Number(args[1]), fault.chip);
            take(Number(args[2], std::numeric_limits<std::uint32_t>::max()), fault.address);
            take(Number(args[3], 7), fault.bit);
            if (n == 5) take(Number(args[4], 1), fault.value);
            break;
        case Kind::HwVersion: {
            const auto bytes = n == 2 ? Split(args[1], '.') : std::vector<std::string_view>{};
            ok = bytes.size() == 4;
            for (std::size_t i = 0; ok && i < 4; ++i)
                take(Number(bytes[i], 0xFF, 16), fault.version[i]);
            break;
        }
        case Kind::BoardId:
            ok = n == 2;
            if (ok) take(Number(args[1], 0xFF), fault.id);
            break;
        default:
            ok = n == 1;
            break;
    }
    if (!ok) return std::nullopt;
    return fault;
}

unsigned BoardBit(std::string_view board) {
    for (const auto& [name, bit] : kBoards)
        if (name == board) return bit;
    return 0;
}

std::string BoardList(unsigned boards) {
    if (boards == kAllBoards) return "all boards";
    std::string list;
    for (const auto& [name, bit] : kBoards)
        if ((boards & bit) != 0) list += (list.empty() ? "" : ", ") + std::string(name);
    return list;
}

std::string Syntaxes() {
    std::string list;
    for (const FaultKind& kind : kFaultKinds)
        list += (list.empty() ? "" : ", ") + std::string(kind.syntax);
    return list;
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

bool Apply(const Fault& fault, sim::VirtualDongle& dongle) {
    switch (fault.kind->kind) {
        case Kind::Unplug:
            dongle.UnplugAtExchange(fault.exchange);
            return true;
        case Kind::NoReply:
            dongle.NoReplyAtExchange(fault.exchange);
            return true;
        case Kind::Lost:
            dongle.LoseListAtExchange(fault.exchange);
            return true;
        case Kind::Corrupt:
            dongle.CorruptReplyAtExchange(fault.exchange, static_cast<std::size_t>(fault.offset),
                                          fault.mask);
            return true;
        case Kind::NoErase:
        case Kind::EraseFail: {
            if (dongle.Config().kind == sim::DongleKind::McuRom) {
                dongle.McuRomFlash().SetEraseRefused(true);
                return true;
            }
            sim::SerialFlash* flash = ChipOf(dongle, fault.chip);
            if (flash == nullptr) return false;
            flash->SetEraseFault(fault.kind->kind == Kind::NoErase ? sim::EraseFault::Silent
                                                                   : sim::EraseFault::Reported);
            return true;
        }
        case Kind::Stuck: {
            sim::SerialFlash* flash = ChipOf(dongle, fault.chip);
            if (flash == nullptr) return false;
            flash->AddStuckBit({fault.address, fault.bit, fault.value});
            return true;
        }
        case Kind::Busy:
            dongle.SetBoardBusy(true);
            return true;
        case Kind::EndlessErase:
            if (auto* demo = dongle.Demo()) demo->SetEraseBusyPolls(std::nullopt);
            dongle.McuRomFlash().SetErasePollReads(std::nullopt);
            return true;
        case Kind::HwVersion:
            dongle.SetHardwareVersion(fault.version);
            return true;
        case Kind::BoardId:
            dongle.SetBoardIdOverride(fault.id);
            return true;
        case Kind::Foreign:
        case Kind::Absent:
            // Applied to the configuration before the dongle was built.
            return true;
    }
    return false;
}

}  // namespace

std::optional<std::string> CheckSimFault(std::string_view text, std::string_view board,
                                         bool oneRun) {
    const FaultKind* kind = nullptr;
    const std::optional<Fault> fault = Parse(text, kind);
    const std::string named = "--sim-fault " + std::string(text) + ": ";
    if (kind == nullptr)
        return named + "no such fault; FAULT is one of " + Syntaxes() +
               " (--help says what each does)";
    if (!fault) return named + "the fault's form is " + std::string(kind->syntax);
    const unsigned bit = BoardBit(board);
    if ((kind->boards & bit) == 0)
        return named + "does nothing on the " + std::string(board) + " board; it affects " +
               BoardList(kind->boards);
    const std::uint64_t chips = bit == kK3r8 ? 4 : 1;
    if (fault->chip < 1 || fault->chip > chips)
        return named + "the " + std::string(board) + " board has " +
               (chips == 1 ? "chip 1 only" : "chips 1 to 4");
    if (kind->kind == Kind::Stuck && fault->address >= sim::SerialFlash::kSize)
        return named + "the chip ends at address 0x1FFFFF";
    const Reach& reach = *std::find_if(kReach.begin(), kReach.end(),
                                       [bit](const Reach& r) { return r.board == bit; });
    if (oneRun && fault->exchange > reach.exchanges)
        return named + "a run on the " + std::string(board) + " board sends at most " +
               std::to_string(reach.exchanges) + " command lists";
    if (fault->offset >= reach.replyBytes)
        return named + "no reply of the " + std::string(board) + " board is longer than " +
               std::to_string(reach.replyBytes) + " bytes";
    return std::nullopt;
}

void ApplyConfigFaults(const std::vector<std::string>& faults, sim::DongleConfig& config) {
    for (const std::string& fault : faults) {
        if (fault == "foreign") config.productId = 0x8613;
        if (fault == "absent") config.startPlugged = false;
    }
}

bool ApplySimFaults(const std::vector<std::string>& faults, sim::VirtualDongle& dongle,
                    std::string& error) {
    for (const std::string& text : faults) {
        const FaultKind* kind = nullptr;
        const std::optional<Fault> fault = Parse(text, kind);
        if (!fault || !Apply(*fault, dongle)) {
            error = "cannot inject --sim-fault " + text;
            return false;
        }
    }
    return true;
}

std::string SimFaultHelp() {
    constexpr std::size_t kColumn = 22;
    std::string text =
        "Faults of the virtual dongle (--sim-fault FAULT, repeatable). N counts the command\n"
        "lists since the plug-in; [...] names the only boards a fault affects:\n";
    for (const FaultKind& kind : kFaultKinds) {
        std::string line = "  " + std::string(kind.syntax);
        line += line.size() + 2 <= kColumn ? std::string(kColumn - line.size(), ' ')
                                           : "\n" + std::string(kColumn, ' ');
        for (const char c : kind.help) {
            line += c;
            if (c == '\n') line += std::string(kColumn, ' ');
        }
        if (kind.boards != kAllBoards) line += " [" + BoardList(kind.boards) + "]";
        text += line + "\n";
    }
    return text;
}

}  // namespace qdm::session
