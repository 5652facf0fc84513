// Whole download runs, as "D O W N L O A D" and "Fast" start them, on every board, with replies
// the fuzzer chooses: any of them withheld, damaged, replaced, cut short, lengthened or followed
// by an unplug (and a replug mid-run), and a ROM file that is a sample, the fuzzer's own bytes
// or missing. Whatever happens the run must end with the window usable, nothing left open, and
// its failure on the status line, and a run that reports success must have left exactly the flash
// a clean run leaves, whatever the replies were.

#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "protocol/HostHooks.h"
#include "state/Mainprocess.h"
#include "tests/support/RecordingPanel.h"
#include "usb/Fileiofunctions.h"
#include "workflows/ChipProperties.h"
#include "workflows/DownloadWorkflow.h"

namespace qdm::fuzz {
namespace {

constexpr std::array<const char*, 4> kBoards = {"k3r8", "k3r1", "demoboard", "mcurom"};
constexpr std::array<const char*, 6> kSamples = {"QM010_Brask_RV24.bin", "QM010_Brask_RV20.bin",
                                                 "QL020_PB_RV24.bin",    "QM020_Brenz-Co_RV24.bin",
                                                 "QL020_PB_RV20.bin",    "QN040_PB_RV24.bin"};
constexpr std::size_t kOwnBytes = kSamples.size();
constexpr std::size_t kMissing = kOwnBytes + 1;
constexpr std::size_t kCancel = kOwnBytes + 2;
// Chip rows the combo box may show, and rows it has not; the 2 MiB "Demoboard" row is left out
// on purpose (a whole run of it takes seconds).
constexpr std::array<int, 15> kSelections = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 40, -1};
constexpr std::uint64_t kExchangeLimit = 2000;

class FixedRandom final : public RandomByteSource {
  public:
    std::uint8_t NextByte() override { return 0x5A; }
};

struct Setup {
    std::size_t board = 0;
    bool fast = false;
    bool writerRunning = false;
    bool replug = false;
    std::size_t file = 0;
    int selection = 0;
    auto Key() const { return std::tuple(board, fast, writerRunning, file, selection); }
};

std::filesystem::path Scratch() {
    static const std::filesystem::path folder = [] {
        auto f =
            std::filesystem::temp_directory_path() / ("qdm-fuzz-run-" + std::to_string(::getpid()));
        std::filesystem::create_directories(f);
        return f;
    }();
    return folder;
}

std::optional<std::string> FileFor(const Setup& s, FuzzInput& in) {
    if (s.file < kSamples.size()) return std::string(QDM_SAMPLES_DIR "/") + kSamples[s.file];
    if (s.file == kOwnBytes) {
        const std::filesystem::path path = Scratch() / "QMown.bin";
        WriteFileFrom(in.Take(in.Word()), path);
        return path.string();
    }
    if (s.file == kMissing) return (Scratch() / "missing.bin").string();
    return std::nullopt;
}

RunOutcome Run(const Setup& s, test::RecordingPanel& panel) {
    FixedRandom random;
    DownloadOptions options;
    options.fast = s.fast;
    options.random = &random;
    return RunDownload(panel, options);
}

// The flash as one hash over every chip, so the references of all setups stay small.
std::uint64_t FlashHash(sim::VirtualDongle& dongle) {
    std::uint64_t hash = 0;
    for (const auto chip : FlashOf(dongle)) {
        const std::string_view bytes(reinterpret_cast<const char*>(chip.data()), chip.size());
        hash = hash * 0x100000001B3u ^ std::hash<std::string_view>{}(bytes);
    }
    return hash;
}

// What a clean run of this setup leaves on the flash; nothing when it does not succeed.
std::optional<std::uint64_t> CleanFlash(const Setup& s) {
    static std::map<decltype(s.Key()), std::optional<std::uint64_t>> known;
    const auto found = known.find(s.Key());
    if (found != known.end()) return found->second;
    FuzzDongle dongle(kBoards[s.board], s.writerRunning);
    State().DumpFilesEnabled = 0;
    test::RecordingPanel panel;
    panel.selected = s.selection;
    FuzzInput none({});
    panel.files.push_back(FileFor(s, none));
    std::optional<std::uint64_t> flash;
    if (Run(s, panel).Succeeded()) flash = FlashHash(dongle.Dongle());
    known.emplace(s.Key(), flash);
    return flash;
}

}  // namespace
}  // namespace qdm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qdm;
    using namespace qdm::fuzz;
    QuietHooks();
    FuzzInput in(std::span(data, size));
    const std::uint8_t a = in.Byte();
    const std::uint8_t b = in.Byte();
    Setup s;
    s.board = a % kBoards.size();
    s.fast = (a & 0x04) != 0;
    s.writerRunning = (a & 0x08) != 0;
    s.replug = (a & 0x10) != 0;
    s.file = ((a >> 5) + ((b & 0x10) != 0 ? 8u : 0u)) % (kCancel + 1);
    s.selection = kSelections[(b & 0x0F) % kSelections.size()];

    // The reference first: it runs on a dongle and a program state of its own.
    const bool comparable = s.file < kSamples.size();
    const std::optional<std::uint64_t> clean = comparable ? CleanFlash(s) : std::nullopt;

    FuzzDongle dongle(kBoards[s.board], s.writerRunning);
    State().DumpFilesEnabled = (b & 0x80) != 0 ? 1 : 0;
    test::RecordingPanel panel;
    panel.selected = s.selection;
    panel.files.push_back(FileFor(s, in));
    dongle.FuzzReplies(in, kExchangeLimit);
    sim::VirtualDongle& device = dongle.Dongle();
    // The operator plugs the dongle back in while the run goes on.
    const auto replug = [&] {
        if (s.replug && !device.Plugged()) device.Plug();
    };
    panel.onProcess = replug;
    SetPumpHook(replug);

    const RunOutcome outcome = Run(s, panel);
    SetPumpHook({});

    Require(State().OperationBusy == 0, "the busy flag cleared");
    Require(panel.controlsEnabled && panel.downloadEnabled && panel.demoResetEnabled,
            "the controls enabled");
    dongle.RequireNothingLeftOpen("a download run");
    const RunResult r = outcome.result;
    if (r != RunResult::Success && r != RunResult::Cancelled && r != RunResult::NoDongle &&
        r != RunResult::ChipTypeMissing) {
        Require(!outcome.message.empty() && panel.status == outcome.message,
                "the failure on the status line");
    }
    if (outcome.Succeeded() && comparable) {
        Require(clean.has_value(), "no success where a clean run fails");
        Require(FlashHash(device) == *clean, "success only over the flash a clean run leaves");
    }
    return 0;
}
