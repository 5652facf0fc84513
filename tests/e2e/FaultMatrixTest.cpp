// Every exchange of a complete run on every board, each in turn unplugged, left without a reply,
// lost on its way to the dongle, or answered with a corrupted byte, and every firmware-load
// request stalled or cut off by an unplug; for a container, a raw image, a named agent and a fast
// run. A run may fail, but it must end, leave the window usable, say on its status line that it
// failed, never report success over a flash that differs from what a clean run writes, leave a
// used chip as it was when it fails before the erase, and a run after replugging must succeed.

#include <array>
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

// A fault at the N-th exchange, or at the N-th firmware-load request when `fault` is None.
struct Injection {
    std::uint64_t at = 0;
    sim::ExchangeFault fault;
    sim::LoadFault load = sim::LoadFault::Stall;
};

std::string Describe(const Injection& i) {
    if (i.fault.kind == sim::FaultKind::None) {
        return "load request " + std::to_string(i.at) +
               (i.load == sim::LoadFault::Stall ? ": stall" : ": unplug");
    }
    std::string text = "exchange " + std::to_string(i.at) + ": ";
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

enum class Image : std::uint8_t { Container, Raw, NamedAgent };

// One board and way of running; a long matrix is split into shards that each stay well inside the
// test driver's time-out under the sanitizers.
struct Variant {
    const char* board;
    Image image = Image::Container;
    bool fast = false;
    std::size_t shard = 0;
    std::size_t shards = 1;
};

constexpr std::int32_t kNamedAgent = 3;

class FaultMatrix : public WorkflowTest, public ::testing::WithParamInterface<Variant> {
  protected:
    std::string Board() const { return GetParam().board; }

    RunOutcome Run() {
        if (GetParam().fast) {
            // What a full download leaves behind after plug-in: a fast run loads no firmware.
            if (State().FirmwareLoaded == 0) {
                sim::PreloadWriterFirmware(Dongle());
                State().FirmwareLoaded = 1;
            }
        }
        DownloadOptions options;
        options.fast = GetParam().fast;
        options.random = &random;
        if (GetParam().image == Image::NamedAgent) options.agent = kNamedAgent;
        return RunDownload(panel, options);
    }

    // A fresh program, panel and dongle, as on a new plug-in, whose used flash holds an older
    // image and option page (that carries no bytes over), so that what a run erased or left alone
    // shows anywhere on the chip.
    void Fresh() {
        ResetProgramState();
        State().FirmwareText = firmware_;
        panel.Clear();
        panel.files.push_back(file_);
        Start(Board());
        sim::FillFlash(Dongle(), 0xA5);
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
    const Variant variant = GetParam();
    const std::string board = Board();
    firmware_ = State().FirmwareText;
    // A 32 KiB QM010 image: a container's chip index picks the chip type (a raw image's the
    // combo box), and the MCU-ROM size table takes its file length.
    const auto plain = Plain(0x8000);
    const std::int32_t agent =
        variant.image == Image::NamedAgent ? kNamedAgent : kBuiltInAgentIndex;
    if (variant.image == Image::Raw) {
        file_ = File("QM010.bin", MakeRawFileImage(plain, AgentKey(agent)).value());
        panel.selected = 2;
    } else {
        file_ = File("QM010.bin", Container(plain, 0x02, 4, false, agent));
    }

    // The clean run: how many exchanges and load requests, what each exchange answers, and what
    // the flash then holds.
    const int selected = panel.selected;
    Fresh();
    panel.selected = selected;
    const FlashCopy before = Contents();
    const RunOutcome clean = Run();
    ASSERT_TRUE(clean.Succeeded()) << clean.message;
    const std::uint64_t exchanges = Dongle().ExchangeCount();
    const std::uint64_t loadRequests = variant.fast ? 0 : Dongle().LoadRequestCount();
    const std::deque<sim::ExchangeRecord> log = Dongle().ExchangeLog();
    ASSERT_EQ(log.size(), exchanges);
    const FlashCopy reference = Contents();
    {
        // The demoboard holds the plain image with the patch its "QM" file name asks for.
        auto image = MakeChainedImage(plain, AgentKey(agent));
        if (board == "demoboard") {
            image = plain;
            PatchDemoboardFileName(image);
        }
        ASSERT_TRUE(std::equal(image.begin(), image.end(), reference.front().begin()));
    }

    std::vector<Injection> all;
    for (std::uint64_t k = 1; k <= exchanges; ++k) {
        all.push_back({k, {sim::FaultKind::Unplug}});
        all.push_back({k, {sim::FaultKind::NoReply}});
        all.push_back({k, {sim::FaultKind::LoseList}});
        const std::size_t length = log[k - 1].reply.size();
        for (const std::size_t offset : OffsetsThatMatter(board, log[k - 1].command, length))
            for (const std::uint8_t mask : MasksFor(length))
                all.push_back({k, {sim::FaultKind::CorruptReply, offset, mask}});
    }
    for (std::uint64_t k = 1; k <= loadRequests; ++k) {
        all.push_back({k, {}, sim::LoadFault::Stall});
        all.push_back({k, {}, sim::LoadFault::Unplug});
    }
    std::vector<Injection> cases;
    for (std::size_t i = variant.shard; i < all.size(); i += variant.shards)
        cases.push_back(all[i]);

    Watchdog watchdog;
    std::map<std::string, int> endings;
    const auto started = Clock::now();
    std::uint64_t longestVirtual = 0;
    for (const Injection& injection : cases) {
        const std::string name = board + " " + Describe(injection);
        watchdog.Arm(name, kWallBudget);
        Fresh();
        panel.selected = selected;
        Dongle().SetExchangeLogEnabled(false);
        slept = {};
        if (injection.fault.kind == sim::FaultKind::None) {
            Dongle().InjectLoadFault(injection.at, injection.load);
        } else {
            Dongle().InjectFault(injection.at, injection.fault);
        }
        const auto caseStart = Clock::now();
        const RunOutcome outcome = Run();
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
            // A writer board's stages fail in the blue they run in, as the window always showed
            // them; the dongle's, the firmware's, the file's and the MCU-ROM flow's failures are
            // red.
            const bool red = outcome.result == RunResult::DongleError ||
                             outcome.result == RunResult::FirmwareError ||
                             outcome.result == RunResult::FileError ||
                             outcome.result == RunResult::Failed ||
                             outcome.details.board == "MCU-ROM";
            EXPECT_EQ(panel.colour, red ? StatusColour::Red : StatusColour::Blue)
                << name << ": " << outcome.message;
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
        panel.selected = selected;
        panel.files.push_back(file_);
        const RunOutcome again = Run();
        EXPECT_TRUE(again.Succeeded()) << name << ": the run after replugging: " << again.message;
        EXPECT_TRUE(FlashIs(reference)) << name << ": the run after replugging";
        ExpectIdle(name + " (after replugging)");
        watchdog.Disarm();
    }
    const std::chrono::duration<double> seconds = Clock::now() - started;
    std::cout << board << ": " << exchanges << " exchanges and " << loadRequests
              << " load requests in a clean run, " << cases.size() << " cases in "
              << seconds.count() << " s; longest dongle time of a faulty run " << longestVirtual
              << " ms\n";
    for (const auto& [ending, count] : endings)
        std::cout << "  " << count << " x " << ending << "\n";
    RecordProperty("cases", static_cast<int>(cases.size()));
}

std::string VariantName(const ::testing::TestParamInfo<Variant>& info) {
    const Variant& v = info.param;
    static const std::array<const char*, 3> kImages = {"container", "raw", "agent"};
    std::string name = std::string(v.board) + "_" + kImages.at(static_cast<std::size_t>(v.image));
    if (v.fast) name += "_fast";
    if (v.shards > 1) name += "_" + std::to_string(v.shard + 1) + "of" + std::to_string(v.shards);
    return name;
}

// gtest would otherwise print the raw bytes into the test's ctest name.
void PrintTo(const Variant& v, std::ostream* out) {
    *out << v.board;
}

INSTANTIATE_TEST_SUITE_P(EveryBoard, FaultMatrix,
                         ::testing::Values(Variant{"k3r8", Image::Container, false, 0, 2},
                                           Variant{"k3r8", Image::Container, false, 1, 2},
                                           Variant{"k3r1"}, Variant{"demoboard"}, Variant{"mcurom"},
                                           Variant{"demoboard", Image::Raw},
                                           Variant{"k3r1", Image::Container, true},
                                           Variant{"k3r1", Image::NamedAgent}),
                         VariantName);

}  // namespace
}  // namespace qdm::test
