#include "fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "protocol/HostHooks.h"
#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"
#include "sim/StandInFirmware.h"
#include "state/Mainprocess.h"
#include "usb/Fileiofunctions.h"
#include "usb/UsbDriver.h"

namespace qdm::fuzz {

std::vector<std::uint8_t> FuzzInput::Take(std::size_t n) {
    const std::size_t count = std::min(n, Remaining());
    std::vector<std::uint8_t> taken(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                                    bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + count));
    at_ += count;
    return taken;
}

void Broken(std::string_view what) {
    std::fprintf(stderr, "broken guarantee: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

void QuietHooks() {
    SetSleepHook([](std::chrono::milliseconds) {});
    SetPumpHook({});
    static const std::filesystem::path dumps = [] {
        auto folder = std::filesystem::temp_directory_path() /
                      ("qdm-fuzz-dumps-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        return folder;
    }();
    SetDumpDirectory(dumps);
}

const std::vector<std::uint8_t>& StandInFirmwareText() {
    static const std::vector<std::uint8_t> text = [] {
        std::vector<std::uint8_t> t = sim::StandInFirmwareFile();
        ExchangeNibbles(t);
        return t;
    }();
    return text;
}

namespace {

// One dongle per board for the whole process, brought back to a new plug-in with erased flash
// for every input: allocating a K3.r8's four chips afresh cost more than a run.
std::shared_ptr<sim::VirtualDongle> PluggedIn(std::string_view board,
                                              const sim::DongleConfig& config) {
    static std::map<std::string, std::shared_ptr<sim::VirtualDongle>, std::less<>> pool;
    std::shared_ptr<sim::VirtualDongle>& slot = pool[std::string(board)];
    if (!slot) {
        slot = std::make_shared<sim::VirtualDongle>(config);
        slot->SetExchangeLogEnabled(false);
        return slot;
    }
    sim::VirtualDongle& dongle = *slot;
    dongle.SetReplyFilter({});
    dongle.Unplug();
    dongle.ClearFaults();
    dongle.SetBoardBusy(false);
    dongle.Facts() = config.facts;
    if (auto* k3r8 = dongle.K3r8()) {
        for (std::size_t c = 0; c < 4; ++c)
            k3r8->Chip(c).Fill(0xFF);
    } else if (auto* k3r1 = dongle.K3r1()) {
        k3r1->Chip().Fill(0xFF);
    } else if (auto* demo = dongle.Demo()) {
        demo->Chip().Fill(0xFF);
    }
    dongle.McuRomFlash().Fill(0xFF);
    dongle.ClearControlLog();
    dongle.ClearExchangeLog();
    dongle.Plug();
    return slot;
}

}  // namespace

FuzzDongle::FuzzDongle(std::string_view board, bool writerRunning) {
    ResetProgramState();
    std::optional<sim::DongleConfig> config = sim::ConfigForBoard(board);
    Require(config.has_value(), "a known board name");
    simulation_.driver = std::make_shared<sim::VirtualDriver>();
    simulation_.dongle = PluggedIn(board, *config);
    simulation_.driver->Attach(simulation_.dongle);
    usb::SetActiveDriver(simulation_.driver);
    State().FirmwareText = StandInFirmwareText();
    if (writerRunning && config->kind == sim::DongleKind::Writer) {
        // Hold the CPU, load the stand-in image, release it: what a completed download leaves.
        sim::VirtualDongle& dongle = *simulation_.dongle;
        // By value: the transfer takes a writable buffer, and the calls pass braced lists.
        // cppcheck-suppress passedByValue
        const auto write = [&dongle](std::uint16_t address, std::vector<std::uint8_t> data) {
            dongle.ControlTransfer({0x40, sim::kFirmwareLoadRequest, address, 0,
                                    static_cast<std::uint16_t>(data.size())},
                                   data);
        };
        write(sim::kCpuControlAddress, {0x01});
        for (const sim::FirmwareRecord& record : sim::StandInFirmwareRecords())
            write(record.address, record.data);
        write(sim::kCpuControlAddress, {0x00});
        Require(dongle.State() == sim::FirmwareState::Writer, "the writer firmware starts");
        dongle.ClearControlLog();
        State().FirmwareLoaded = 1;
    }
}

FuzzDongle::~FuzzDongle() {
    if (simulation_.dongle) simulation_.dongle->SetReplyFilter({});
    usb::SetActiveDriver(nullptr);
}

void FuzzDongle::FuzzReplies(FuzzInput& input, std::uint64_t exchangeLimit) {
    const std::shared_ptr<ReplyLog> log = log_;
    FuzzInput* in = &input;
    std::uint32_t genuineLeft = 0;
    simulation_.dongle->SetReplyFilter(
        [log, in, exchangeLimit, genuineLeft](std::uint64_t, std::span<const std::uint8_t>,
                                              std::vector<std::uint8_t>& reply,
                                              bool delivered) mutable {
            using sim::ReplyAction;
            const ReplyAction genuine = delivered ? ReplyAction::Deliver : ReplyAction::Withhold;
            if (++log->exchanges > exchangeLimit) return ReplyAction::Withhold;
            if (genuineLeft > 0) {
                --genuineLeft;
                return genuine;
            }
            if (in->Empty()) return genuine;
            const std::uint8_t choice = in->Byte();
            switch (choice >> 5) {
                case 0:
                    // This one and up to 31 more as they are: one byte reaches far into a run.
                    genuineLeft = choice & 0x1Fu;
                    return genuine;
                case 1:
                    return ReplyAction::Withhold;
                case 2: {
                    if (reply.empty()) return genuine;
                    const std::size_t offset = in->Word() % reply.size();
                    const std::uint8_t mask = in->Byte();
                    reply[offset] ^= mask == 0 ? 0xFF : mask;
                    log->lied = true;
                    return ReplyAction::Deliver;
                }
                case 3:
                    for (std::uint8_t& b : reply)
                        b = in->Byte();
                    log->lied = true;
                    return ReplyAction::Deliver;
                case 4:
                    reply.resize(in->Word() % (reply.size() + 1));
                    return genuine;
                case 5: {
                    const std::vector<std::uint8_t> extra = in->Take((choice & 0x1Fu) + 1u);
                    reply.insert(reply.end(), extra.begin(), extra.end());
                    log->lied = true;
                    return ReplyAction::Deliver;
                }
                case 6:
                    return ReplyAction::Unplug;
                default:
                    return genuine;
            }
        });
}

void FuzzDongle::RequireNothingLeftOpen(std::string_view after) {
    const sim::VirtualDriver& driver = *simulation_.driver;
    if (driver.OpenHandles() != 0 || driver.OpenEvents() != 0 || driver.PendingRequests() != 0)
        Broken(std::string("nothing left open after ") + std::string(after));
}

std::vector<std::span<const std::uint8_t>> FlashOf(sim::VirtualDongle& dongle) {
    if (auto* k3r8 = dongle.K3r8()) {
        return {k3r8->Chip(0).Contents(), k3r8->Chip(1).Contents(), k3r8->Chip(2).Contents(),
                k3r8->Chip(3).Contents()};
    }
    if (auto* k3r1 = dongle.K3r1()) return {k3r1->Chip().Contents()};
    if (auto* demo = dongle.Demo()) return {demo->Chip().Contents()};
    return {dongle.McuRomFlash().Contents()};
}

}  // namespace qdm::fuzz
