// What whole runs take at a timing profile, and where their time goes: every board's download and
// the MCU-ROM flow, in-process against the virtual dongle on the virtual clock (the time the run
// would take, computed in no time), then with --kernel the K3.r8 256 KiB download over libusb and
// the emulated kernel USB interface on the real clock. For each run: the flash's own work, the
// command lists and replies on the bus, the descriptor reads, the firmware load and the port
// resets, and how many opens, control transfers, descriptor reads and resets it made.
//
//   qdm-run-times [zero|typical|worst] [--kernel]

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "protocol/HostHooks.h"
#include "sim/Simulation.h"
#include "sim/StandInFirmware.h"
#include "state/Mainprocess.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"
#include "workflows/DownloadWorkflow.h"
#if defined(QDM_HAVE_UMOCKDEV)
#include "tests/kernel/KernelUsbEmulator.h"
#include "usb/LibusbDriver.h"
#endif

namespace {

using namespace qdm;
using Seconds = std::chrono::duration<double>;

struct Case {
    const char* label;
    const char* board;
    std::size_t size;
    std::uint8_t chipCode;
    std::uint8_t chipIndex;
};

// QN080 (code 0x20, index 11) is the largest speech chip, 256 KiB; the "Demoboard" type (0xFF,
// 12) takes a whole 2 MiB flash; the MCU-ROM flow takes its size from the file's length.
constexpr Case kCases[] = {
    {"k3r8 256 KiB", "k3r8", 256 << 10, 0x20, 11},
    {"k3r8 2 MiB", "k3r8", 2 << 20, 0xFF, 12},
    {"k3r1 256 KiB", "k3r1", 256 << 10, 0x20, 11},
    {"demoboard 2 MiB", "demoboard", 2 << 20, 0xFF, 12},
    {"mcurom 256 KiB", "mcurom", 256 << 10, 0x20, 11},
};

struct Measured {
    RunOutcome outcome;
    double wall = 0;  // seconds
    sim::TimeLedger ledger;
    std::uint64_t opens = 0;
};

double S(sim::SimDuration d) {
    return std::chrono::duration_cast<Seconds>(d).count();
}

std::vector<std::uint8_t> FirmwareText() {
    auto text = sim::StandInFirmwareFile();
    ExchangeNibbles(text);
    return text;
}

std::string WriteImage(const Case& c, const std::filesystem::path& folder) {
    const auto file = folder / (std::string(c.board) + "_RV24.bin");
    WriteFileFrom(bench::ContainerFile(bench::PlainImage(c.size), c.chipCode, c.chipIndex), file);
    return file.string();
}

RunOutcome Download(const std::string& file) {
    ResetProgramState();
    State().FirmwareText = FirmwareText();
    bench::QuietPanel panel(file);
    return RunDownload(panel, {});
}

Measured InProcess(const Case& c, const sim::TimingProfile& timing,
                   const std::filesystem::path& folder) {
    sim::DongleConfig config = *sim::ConfigForBoard(c.board);
    config.timing = timing;
    sim::Simulation simulation = sim::MakeSimulation(config);
    simulation.dongle->SetExchangeLogEnabled(false);
    usb::SetActiveDriver(simulation.driver);
    SetSleepHook([driver = simulation.driver](std::chrono::milliseconds d) {
        driver->AdvanceClock(static_cast<std::uint64_t>(d.count()));
    });
    Measured m;
    m.outcome = Download(WriteImage(c, folder));
    m.wall = S(simulation.driver->TimeSource().Now());
    m.ledger = simulation.dongle->Ledger();
    m.opens = simulation.driver->OpensAttempted();
    usb::SetActiveDriver(nullptr);
    SetSleepHook(nullptr);
    return m;
}

const char* Dominant(const Measured& m) {
    const sim::TimeLedger& l = m.ledger;
    const double parts = S(l.flashWork) + S(l.bulkWire) + S(l.controlWire) + S(l.portResets);
    const std::pair<const char*, double> shares[] = {
        {"flash work", S(l.flashWork)},          {"lists on the wire", S(l.bulkWire)},
        {"control transfers", S(l.controlWire)}, {"port resets", S(l.portResets)},
        {"host waits", m.wall - parts},
    };
    const auto* most = &shares[0];
    for (const auto& share : shares)
        if (share.second > most->second) most = &share;
    return most->first;
}

void PrintHeader() {
    std::printf("%-16s %-30s %8s %7s %6s %13s %12s %11s %6s %6s %5s  %s\n", "run", "result",
                "wall s", "flash", "wire", "descr (n)", "fw load (n)", "resets (n)", "ctrl",
                "opens", "lists", "dominated by");
}

void PrintRow(const char* label, const Measured& m) {
    const sim::TimeLedger& l = m.ledger;
    char descriptors[32];
    char firmware[32];
    char resets[32];
    std::snprintf(descriptors, sizeof descriptors, "%.2f (%llu)", S(l.descriptorWire),
                  static_cast<unsigned long long>(l.descriptorReads));
    std::snprintf(firmware, sizeof firmware, "%.2f (%llu)", S(l.firmwareLoadWire),
                  static_cast<unsigned long long>(l.firmwareLoads));
    std::snprintf(resets, sizeof resets, "%.2f (%llu)", S(l.portResets),
                  static_cast<unsigned long long>(l.resets));
    std::printf("%-16s %-30.30s %8.2f %7.2f %6.2f %13s %12s %11s %6llu %6llu %5llu  %s\n", label,
                m.outcome.Succeeded() ? "OK" : m.outcome.message.c_str(), m.wall, S(l.flashWork),
                S(l.bulkWire), descriptors, firmware, resets,
                static_cast<unsigned long long>(l.controlTransfers),
                static_cast<unsigned long long>(m.opens), static_cast<unsigned long long>(l.lists),
                Dominant(m));
}

#if defined(QDM_HAVE_UMOCKDEV)
// The K3.r8 256 KiB run over libusb and the emulated kernel on the real clock.
void OverKernel(const sim::TimingProfile& timing, const std::filesystem::path& folder) {
    auto clock = std::make_shared<sim::RealClock>();
    sim::DongleConfig config = *sim::ConfigForBoard("k3r8");
    config.timing = timing;
    auto dongle = std::make_shared<sim::VirtualDongle>(config);
    dongle->SetExchangeLogEnabled(false);
    sim::KernelUsbEmulator emulator(clock);
    emulator.Attach(dongle, 2);
    const std::string file = WriteImage(kCases[0], folder);
    Measured m;
    {
        auto driver = std::make_shared<usb::LibusbDriver>();
        usb::SetActiveDriver(driver);
        const auto start = std::chrono::steady_clock::now();
        m.outcome = Download(file);
        m.wall = Seconds(std::chrono::steady_clock::now() - start).count();
        usb::SetActiveDriver(nullptr);
    }
    const sim::KernelUsbCounters counted = emulator.Counters(0);
    m.ledger = emulator.WithDongle(0, [](sim::VirtualDongle& d) { return d.Ledger(); });
    m.opens = counted.opens;
    std::printf("\nOver libusb and the emulated kernel, real clock (%.*s):\n\n",
                static_cast<int>(timing.name.size()), timing.name.data());
    PrintHeader();
    PrintRow(kCases[0].label, m);
    const sim::TimeLedger& l = m.ledger;
    const double overhead = S(l.descriptorWire) + S(l.portResets);
    std::printf("\n  node opens %llu, control URBs %llu, port resets %llu, URBs %llu\n",
                static_cast<unsigned long long>(counted.opens),
                static_cast<unsigned long long>(counted.controls),
                static_cast<unsigned long long>(counted.resets),
                static_cast<unsigned long long>(counted.submitted));
    std::printf(
        "  per-exchange overhead (descriptor reads %.3f s + port resets %.3f s) = %.3f s "
        "= %.2f of the flash's own work (%.3f s)\n",
        S(l.descriptorWire), S(l.portResets), overhead,
        S(l.flashWork) > 0 ? overhead / S(l.flashWork) : 0.0, S(l.flashWork));
}
#endif

}  // namespace

int main(int argc, char** argv) {
    std::string profile = "typical";
    bool kernel = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--kernel") == 0)
            kernel = true;
        else
            profile = argv[i];
    }
#if defined(QDM_HAVE_UMOCKDEV)
    if (kernel && !sim::UnderUmockdevPreload() && std::getenv("QDM_UMOCKDEV_REEXEC") == nullptr) {
        setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
        setenv("QDM_UMOCKDEV_REEXEC", "1", 1);
        execv("/proc/self/exe", argv);
    }
#endif
    const sim::TimingProfile* timing = sim::TimingByName(profile);
    if (timing == nullptr) {
        std::fprintf(stderr, "usage: qdm-run-times [zero|typical|worst] [--kernel]\n");
        return 2;
    }
    const auto folder =
        std::filesystem::temp_directory_path() / ("qdm-run-times-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    SetDumpDirectory(folder);

    std::printf(
        "In-process (the vendor driver's path), %s profile, virtual clock. Seconds; "
        "(n) counts.\n\n",
        std::string(timing->name).c_str());
    PrintHeader();
    for (const Case& c : kCases)
        PrintRow(c.label, InProcess(c, *timing, folder));
#if defined(QDM_HAVE_UMOCKDEV)
    if (kernel) {
        if (sim::UnderUmockdevPreload()) {
            OverKernel(*timing, folder);
        } else {
            std::printf("\nemulated kernel: not run (libumockdev-preload.so.0 did not load)\n");
        }
    }
#else
    if (kernel) std::printf("\nemulated kernel: not built here\n");
#endif
    SetDumpDirectory({});
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}
