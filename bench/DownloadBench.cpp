// Whole download runs, as the window's button runs them, against a virtual dongle that answers at
// once: the dongle freshly plugged (boot firmware, blank flash), the firmware loaded, the board
// found, the file read and prepared, erase, blank check, programming, option pages, verify.
// Each run is set against the time the same bulk bytes take on a USB 2.0 high-speed bus.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "bench/BenchSupport.h"
#include "protocol/HostHooks.h"
#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"
#include "state/Mainprocess.h"
#include "usb/Fileiofunctions.h"
#include "workflows/DownloadWorkflow.h"

namespace qdm::bench {
namespace {

struct DownloadCase {
    const char* board;
    std::size_t imageSize;
    std::uint8_t chipCode;
    std::uint8_t chipIndex;
};

// QN080 (chip index 11, code 0x20) is a 256 KiB part; the demoboard takes the whole 2 MiB chip.
constexpr DownloadCase kK3r8Image{"k3r8", 256 << 10, 0x20, 11};
constexpr DownloadCase kDemoboardImage{"demoboard", 2 << 20, 0xFF, 12};

class DownloadRig {
  public:
    explicit DownloadRig(const DownloadCase& c)
        : bench_(c.board),
          folder_(std::filesystem::temp_directory_path() /
                  ("qdm-bench-" + std::string(c.board) + "-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(folder_);
        file_ = (folder_ / "image_RV24.bin").string();
        WriteFileFrom(ContainerFile(PlainImage(c.imageSize), c.chipCode, c.chipIndex), file_);
        // The read-back dump files are part of every run; they go next to the image.
        SetDumpDirectory(folder_);
    }
    DownloadRig(const DownloadRig&) = delete;
    DownloadRig& operator=(const DownloadRig&) = delete;
    ~DownloadRig() {
        SetDumpDirectory({});
        ResetProgramState();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // What a new process meets: a dongle just plugged in with blank flash, nothing loaded.
    void Fresh() {
        ResetProgramState();
        State().FirmwareText = bench_.FirmwareText();
        sim::VirtualDongle& dongle = bench_.Dongle();
        dongle.Unplug();
        dongle.Plug();
        if (sim::K3r8Board* r8 = dongle.K3r8())
            for (std::size_t c = 0; c < sim::K3r8Board::kChipCount; ++c)
                r8->Chip(c).Fill(0xFF);
        if (sim::K3r1Board* r1 = dongle.K3r1()) r1->Chip().Fill(0xFF);
        if (sim::Demoboard* demo = dongle.Demo()) demo->Chip().Fill(0xFF);
        dongle.ClearControlLog();
    }

    RunOutcome Run() {
        QuietPanel panel(file_);
        return RunDownload(panel, {});
    }

    // The process's driver decorated to count the bulk bytes and the dongle's own time.
    std::shared_ptr<WireCountingDriver> Counted() {
        auto counter = std::make_shared<WireCountingDriver>(bench_.Simulation().driver);
        usb::SetActiveDriver(counter);
        return counter;
    }

    // One run with the driver decorated to count its bulk bytes.
    WireBytes CountWire() {
        const auto counter = Counted();
        Fresh();
        const RunOutcome outcome = Run();
        if (!outcome.Succeeded()) throw std::runtime_error(outcome.message);
        return counter->Counted();
    }

  private:
    VirtualBench bench_;
    std::filesystem::path folder_;
    std::string file_;
};

void BM_Download(benchmark::State& state, const DownloadCase& c) {
    DownloadRig rig(c);
    WireBytes wire;
    try {
        wire = rig.CountWire();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    double hostSeconds = 0;
    std::chrono::nanoseconds cpu{0};
    std::chrono::nanoseconds dongle{0};
    for (auto _ : state) {
        state.PauseTiming();
        rig.Fresh();
        const auto counter = rig.Counted();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const auto cpuStart = ThreadCpuTime();
        const RunOutcome outcome = rig.Run();
        cpu += ThreadCpuTime() - cpuStart;
        hostSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        dongle += counter->BelowSeam();
        if (!outcome.Succeeded()) {
            state.SkipWithError(outcome.message.c_str());
            break;
        }
    }
    const double runs = std::max<double>(static_cast<double>(state.iterations()), 1);
    const double host = hostSeconds / runs;
    state.counters["host_ms"] = host * 1e3;
    // The host's own CPU time: the run's, less the virtual dongle's below the driver seam.
    state.counters["dongle_ms"] = std::chrono::duration<double, std::milli>(dongle).count() / runs;
    state.counters["host_cpu_ms"] =
        std::chrono::duration<double, std::milli>(cpu - dongle).count() / runs;
    state.counters["wire_ms"] = wire.Seconds() * 1e3;
    state.counters["host_per_wire"] = wire.Seconds() > 0 ? host / wire.Seconds() : 0;
    state.counters["out_bytes"] = static_cast<double>(wire.out);
    state.counters["in_bytes"] = static_cast<double>(wire.in);
    state.counters["lists"] = static_cast<double>(wire.outTransfers);
    state.counters["control_requests"] = static_cast<double>(wire.controlRequests);
}
BENCHMARK_CAPTURE(BM_Download, k3r8_256KiB, kK3r8Image)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Download, demoboard_2MiB, kDemoboardImage)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace qdm::bench
