// Every exchange of a complete run on every board, each in turn unplugged, left without a reply,
// lost on its way to the dongle, or answered with a corrupted byte. A run may fail, but it must
// end, leave the window usable, say on its status line that it failed, never report success over a
// flash that differs from what a clean run writes, and a run after replugging must succeed.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tests/e2e/WorkflowFixture.h"

namespace qdm::test {
namespace {

using Clock = std::chrono::steady_clock;
using FlashCopy = std::vector<std::vector<std::uint8_t>>;

// A hung case would hold the suite until the test driver's time-out without saying which case
// it was; this names it and stops the process instead.
class Watchdog {
  public:
    Watchdog() : thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Arm(std::string name, std::chrono::seconds limit) {
        {
            std::lock_guard lock(mutex_);
            name_ = std::move(name);
            deadline_ = Clock::now() + limit;
            armed_ = true;
        }
        wake_.notify_all();
    }
    void Disarm() {
        std::lock_guard lock(mutex_);
        armed_ = false;
    }

  private:
    void Watch() {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (!armed_) {
                wake_.wait(lock);
                continue;
            }
            const auto deadline = deadline_;
            if (wake_.wait_until(lock, deadline) == std::cv_status::timeout && armed_ &&
                deadline_ == deadline) {
                std::fprintf(stderr, "fault matrix: case %s did not end\n", name_.c_str());
                std::abort();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::string name_;
    Clock::time_point deadline_;
    bool armed_ = false;
    bool stop_ = false;
    std::thread thread_;
};

struct Injection {
    std::uint64_t exchange = 0;
    sim::ExchangeFault fault;
};

std::string Describe(const Injection& i) {
    std::string text = "exchange " + std::to_string(i.exchange) + ": ";
    switch (i.fault.kind) {
        case sim::FaultKind::Unplug:
            return text + "unplug";
        case sim::FaultKind::NoReply:
            return text + "no reply";
        case sim::FaultKind::LoseList:
            return text + "list lost";
        case sim::FaultKind::CorruptReply: {
            char mask[8];
            std::snprintf(mask, sizeof mask, "0x%02X", static_cast<unsigned>(i.fault.mask));
            return text + "reply byte " + std::to_string(i.fault.offset) + " ^ " + mask;
        }
        case sim::FaultKind::None:
            break;
    }
    return text + "none";
}

// Runs that end before the erase must leave the chip as it was.
bool EndsBeforeTheErase(RunResult result) {
    switch (result) {
        case RunResult::NoDongle:
        case RunResult::DongleError:
        case RunResult::FirmwareError:
        case RunResult::FileError:
        case RunResult::ChipTypeMissing:
        case RunResult::BoardBusy:
        case RunResult::NoBoard:
        case RunResult::IdCheck:
            return true;
        default:
            return false;
    }
}

// Messages a run ends with when it worked; a failed run must show none of them last.
const std::set<std::string> kSuccessMessages = {"Serial Flash Data Verify OK !",
                                                "Chips Data Verify OK!", "Flash Verify OK!(0x00)",
                                                "Demoboard reset OK!!"};

// Reply offsets where one wrong byte changes what the host decides, beyond the first and last
// byte of every reply: in the reads of the option page's block before the erase and after the
// option pages, the carried bytes 227-229 and the chip code 252 of each chip's option page.
std::vector<std::size_t> OffsetsThatMatter(const std::string& board,
                                           std::span<const std::uint8_t> list,
                                           std::size_t replyLength) {
    const auto reads = [&list](std::uint8_t opcode) {
        // The set-address command of a block read, at block 4095 (1F FE 00).
        return list.size() >= 4 && list[0] == opcode && list[1] == 0x1F && list[2] == 0xFE &&
               list[3] == 0x00;
    };
    std::set<std::size_t> offsets;
    if (replyLength <= 4) {
        for (std::size_t i = 0; i < replyLength; ++i)
            offsets.insert(i);
    } else {
        offsets = {0, replyLength / 2, replyLength - 1};
    }
    constexpr std::size_t kOptionPageInBlock = 256;
    for (const std::size_t k : {227u, 228u, 229u, 252u}) {
        if (board == "k3r8" && reads(0x32) && replyLength == 2048) {
            for (std::size_t chip = 0; chip < 4; ++chip)
                offsets.insert(4 * (kOptionPageInBlock + k) + chip);
        }
        if (board == "k3r1" && reads(0x52) && replyLength == 512)
            offsets.insert(kOptionPageInBlock + k);
    }
    return {offsets.begin(), offsets.end()};
}

// Single-bit flips move status and ID bytes across the values the host tells apart; a whole
// inverted byte breaks everything else.
std::vector<std::uint8_t> MasksFor(std::size_t replyLength) {
    if (replyLength <= 4) return {0xFF, 0x01, 0x80};
    return {0xFF};
}

class FaultMatrix : public WorkflowTest, public ::testing::WithParamInterface<const char*> {
  protected:
    std::string Board() const { return GetParam(); }

    // A fresh program, panel and dongle, as on a new plug-in, whose flash holds an older image
    // and option page (that carries no bytes over), so that what a run erased or left alone
    // shows.
    void Fresh() {
        ResetProgramState();
        State().FirmwareText = firmware_;
        panel.Clear();
        panel.files.push_back(file_);
        Start(Board());
        const std::vector<std::uint8_t> old = Plain(0x8000, 99);
        std::vector<std::uint8_t> oldOptionPage(256, 0x3C);
        std::fill_n(oldOptionPage.begin() + 227, 3, std::uint8_t{0xFF});
        const auto preload = [&](sim::SerialFlash& chip) {
            chip.Preload(0, old);
            chip.Preload(0x1FFF00, oldOptionPage);
        };
        if (auto* k3r8 = Dongle().K3r8()) {
            for (std::size_t c = 0; c < 4; ++c)
                preload(k3r8->Chip(c));
        } else if (auto* k3r1 = Dongle().K3r1()) {
            preload(k3r1->Chip());
        } else if (auto* demo = Dongle().Demo()) {
            preload(demo->Chip());
        } else {
            Dongle().McuRomFlash().Preload(0, old);
        }
    }

    // Every flash chip of the board, as it reads now.
    std::vector<std::span<const std::uint8_t>> Chips() {
        if (auto* k3r8 = Dongle().K3r8()) {
            return {k3r8->Chip(0).Contents(), k3r8->Chip(1).Contents(), k3r8->Chip(2).Contents(),
                    k3r8->Chip(3).Contents()};
        }
        if (auto* k3r1 = Dongle().K3r1()) return {k3r1->Chip().Contents()};
        if (auto* demo = Dongle().Demo()) return {demo->Chip().Contents()};
        return {Dongle().McuRomFlash().Contents()};
    }

    FlashCopy Contents() {
        FlashCopy copy;
        for (const auto chip : Chips())
            copy.emplace_back(chip.begin(), chip.end());
        return copy;
    }

    bool FlashIs(const FlashCopy& expected) {
        const auto chips = Chips();
        return std::equal(chips.begin(), chips.end(), expected.begin(), expected.end(),
                          [](auto chip, const auto& copy) {
                              return std::equal(chip.begin(), chip.end(), copy.begin(), copy.end());
                          });
    }

    std::uint64_t VirtualMilliseconds() const {
        return simulation.driver->ElapsedMilliseconds() + static_cast<std::uint64_t>(slept.count());
    }

    void ExpectIdle(const std::string& name) {
        EXPECT_EQ(State().OperationBusy, 0) << name;
        EXPECT_TRUE(panel.controlsEnabled) << name;
        EXPECT_TRUE(panel.downloadEnabled) << name;
        EXPECT_TRUE(panel.demoResetEnabled) << name;
    }

    std::string file_;
    std::vector<std::uint8_t> firmware_;
};

// A whole run against one fault may wait out a few transfer time-outs of 2 s, and the MCU-ROM
// erase its polls; a minute of dongle time is far beyond any of that.
constexpr std::uint64_t kVirtualBudgetMs = 60'000;
constexpr std::chrono::seconds kWallBudget{60};

TEST_P(FaultMatrix, EveryExchangeUnpluggedSilentOrCorrupted) {
    const std::string board = Board();
    firmware_ = State().FirmwareText;
    // A 32 KiB QM010 container: its chip index picks the chip type, and the MCU-ROM size table
    // takes its file length.
    const auto plain = Plain(0x8000);
    file_ = File("QM010.bin", Container(plain, 0x02, 4));

    // The clean run: how many exchanges, what each answers, and what the flash then holds.
    Fresh();
    const FlashCopy before = Contents();
    const RunOutcome clean = Download();
    ASSERT_TRUE(clean.Succeeded()) << clean.message;
    const std::uint64_t exchanges = Dongle().ExchangeCount();
    const std::deque<sim::ExchangeRecord> log = Dongle().ExchangeLog();
    ASSERT_EQ(log.size(), exchanges);
    const FlashCopy reference = Contents();
    {
        // The demoboard holds the plain image with the patch its "QM" file name asks for.
        auto image = MakeChainedImage(plain, AgentKey(kBuiltInAgentIndex));
        if (board == "demoboard") {
            image = plain;
            PatchDemoboardFileName(image);
        }
        ASSERT_TRUE(std::equal(image.begin(), image.end(), reference.front().begin()));
    }

    std::vector<Injection> cases;
    for (std::uint64_t k = 1; k <= exchanges; ++k) {
        cases.push_back({k, {sim::FaultKind::Unplug}});
        cases.push_back({k, {sim::FaultKind::NoReply}});
        cases.push_back({k, {sim::FaultKind::LoseList}});
        const std::size_t length = log[k - 1].reply.size();
        for (const std::size_t offset : OffsetsThatMatter(board, log[k - 1].command, length))
            for (const std::uint8_t mask : MasksFor(length))
                cases.push_back({k, {sim::FaultKind::CorruptReply, offset, mask}});
    }

    Watchdog watchdog;
    std::map<std::string, int> endings;
    const auto started = Clock::now();
    std::uint64_t longestVirtual = 0;
    for (const Injection& injection : cases) {
        const std::string name = board + " " + Describe(injection);
        watchdog.Arm(name, kWallBudget);
        Fresh();
        Dongle().SetExchangeLogEnabled(false);
        slept = {};
        Dongle().InjectFault(injection.exchange, injection.fault);
        const auto caseStart = Clock::now();
        const RunOutcome outcome = Download();
        const auto wall = Clock::now() - caseStart;
        const std::uint64_t virtualMs = VirtualMilliseconds();
        longestVirtual = std::max(longestVirtual, virtualMs);

        EXPECT_EQ(Dongle().ScheduledFaults(), 0u) << name << ": the fault was never reached";
        EXPECT_LE(virtualMs, kVirtualBudgetMs) << name;
        EXPECT_LE(wall, kWallBudget) << name;
        ExpectIdle(name);
        if (outcome.Succeeded()) {
            EXPECT_TRUE(FlashIs(reference)) << name << ": success over a flash a clean run "
                                            << "would not leave";
            ++endings["success"];
        } else {
            EXPECT_FALSE(outcome.message.empty()) << name;
            EXPECT_EQ(kSuccessMessages.count(outcome.message), 0u) << name;
            EXPECT_EQ(panel.status, outcome.message)
                << name << ": the status line shows \"" << panel.status << "\"";
            if (EndsBeforeTheErase(outcome.result)) {
                EXPECT_TRUE(FlashIs(before)) << name << ": the chip was touched";
            }
            ++endings[outcome.message];
        }

        // The operator replugs the dongle; presence polling clears FirmwareLoaded. The next run
        // starts from whatever the failed one left on the chip.
        Dongle().ClearFaults();
        Dongle().Unplug();
        Dongle().Plug();
        State().FirmwareLoaded = 0;
        panel.Clear();
        panel.files.push_back(file_);
        const RunOutcome again = Download();
        EXPECT_TRUE(again.Succeeded()) << name << ": the run after replugging: " << again.message;
        EXPECT_TRUE(FlashIs(reference)) << name << ": the run after replugging";
        ExpectIdle(name + " (after replugging)");
        watchdog.Disarm();
    }
    const std::chrono::duration<double> seconds = Clock::now() - started;
    std::cout << board << ": " << exchanges << " exchanges in a clean run, " << cases.size()
              << " cases in " << seconds.count() << " s; longest dongle time of a faulty run "
              << longestVirtual << " ms\n";
    for (const auto& [ending, count] : endings)
        std::cout << "  " << count << " x " << ending << "\n";
    RecordProperty("cases", static_cast<int>(cases.size()));
}

INSTANTIATE_TEST_SUITE_P(EveryBoard, FaultMatrix,
                         ::testing::Values("k3r8", "k3r1", "demoboard", "mcurom"),
                         [](const auto& p) { return std::string(p.param); });

}  // namespace
}  // namespace qdm::test
