#include "session/Session.h"

#include <ostream>
#include <system_error>

#include "protocol/CommandList.h"
#include "protocol/HostHooks.h"
#include "session/ProcessFiles.h"
#include "session/SimFaults.h"
#include "sim/SimulationDump.h"
#include "sim/StandInFirmware.h"
#include "state/DiagnosticLog.h"
#include "state/Mainprocess.h"
#include "usb/DeviceSelection.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"
#include "usb/PcapTraceDriver.h"
#include "workflows/DongleCheck.h"

namespace qdm::session {

namespace {

// Command lists up to their page data; short replies (versions, IDs, status and bit counts)
// whole, longer ones (read-back data) not at all.
std::size_t ImageFreeBulkData(std::uint8_t endpoint, std::span<const std::uint8_t> data) {
    constexpr std::size_t kLongestStatusReply = 64;
    if ((endpoint & 0x80) == 0) return CommandBytesBeforeData(data);
    return data.size() <= kLongestStatusReply ? data.size() : 0;
}

}  // namespace

std::unique_ptr<Session> Session::Create(const SessionOptions& options, std::ostream& err,
                                         SetupProblem* problem) {
    if (problem != nullptr) *problem = SetupProblem::Options;
    const auto fileProblem = [&](const std::string& why) -> std::unique_ptr<Session> {
        err << why << "\n";
        if (problem != nullptr) *problem = SetupProblem::File;
        return nullptr;
    };
    ProcessFiles files;
    files.AddSession(options);
    if (auto clash = OutputOverAnInput(files)) return fileProblem(*clash);
    if (options.firmware) {
        // A file named for the purpose that cannot serve it is an error before anything starts.
        std::vector<std::uint8_t> text;
        std::string why;
        if (!ReadFirmwareText(*options.firmware, text, &why))
            return fileProblem("cannot read the dongle firmware file " + *options.firmware +
                               " (--firmware): " + why);
    }
    if (options.simulate && options.simDump) {
        for (const unsigned number : SimulatedNumbers(options)) {
            const std::filesystem::path folder = SimDumpFolder(options, number);
            std::error_code ec;
            std::filesystem::create_directories(folder, ec);
            if (ec)
                return fileProblem("cannot create " + folder.string() +
                                   " (--sim-dump): " + ec.message());
        }
    }
    auto session = std::make_unique<Session>(Key{});
    session->options_ = options;
    session->dumpFilesEnabled_ = State().DumpFilesEnabled;
    std::shared_ptr<usb::UsbDriver> driver;
    if (options.simulate) {
        if (!session->Simulate(err)) return nullptr;
        // A profile that takes time runs on the real clock; the zero profile on a virtual one,
        // where a reply that never comes costs no real time.
        const bool realTime = options.simTiming && *options.simTiming != sim::ZeroTiming().name;
        // A simulated run's read-back dumps would take the place of real hardware's: they go
        // only where --sim-dump says, each dongle's into its own folder (Select switches).
        if (options.simDump && !session->simulated_.empty()) {
            SetDumpDirectory(SimDumpFolder(options, session->simulated_.front().number));
        } else {
            State().DumpFilesEnabled = 0;
        }
        SetWindows7Condition(false);
        driver = session->simulation_->driver;
        if (!realTime) {
            // On the virtual clock waits advance the clock instead of sleeping.
            std::weak_ptr<sim::VirtualDriver> clock = session->simulation_->driver;
            SetSleepHook([clock](std::chrono::milliseconds duration) {
                if (auto d = clock.lock())
                    d->AdvanceClock(static_cast<std::uint64_t>(duration.count()));
            });
        }
    } else {
        driver = usb::CreatePlatformDriver();
    }
    if (options.trace) {
        auto trace = std::make_shared<usb::PcapTraceDriver>(driver, *options.trace);
        if (!trace->IsOpen())
            return fileProblem("cannot create the trace file " + *options.trace + ": " +
                               trace->Opened().Reason());
        driver = trace;
    }
    if (options.reportTrace) {
        auto trace = std::make_shared<usb::PcapTraceDriver>(driver, *options.reportTrace);
        if (!trace->IsOpen()) {
            err << "cannot create the report's trace file " << *options.reportTrace << "\n";
            if (problem != nullptr) *problem = SetupProblem::File;
            return nullptr;
        }
        if (!options.reportTraceWhole) trace->SetBulkDataFilter(ImageFreeBulkData);
        driver = trace;
    }
    session->driver_ = driver;
    usb::SetActiveDriver(driver);
    if (options.device && !session->Select(*options.device)) {
        err << "no dongle " << *options.device
            << " is attached (attached: " << usb::IdList(session->Dongles())
            << "; `qdm-writer-cli list` shows them)\n";
        if (problem != nullptr) *problem = SetupProblem::NoDevice;
        return nullptr;
    }
    return session;
}

bool Session::Simulate(std::ostream& err) {
    const std::vector<std::string> boards = SimulatedBoards(options_);
    const sim::TimingProfile* timing =
        sim::TimingByName(options_.simTiming.value_or(std::string(sim::ZeroTiming().name)));
    if (timing == nullptr) {
        err << "unknown timing '" << *options_.simTiming << "' for --sim-timing (use "
            << sim::TimingNames() << ")\n";
        return false;
    }
    // Every virtual dongle keeps the driver's one clock.
    auto driver = std::make_shared<sim::VirtualDriver>(
        timing->name != sim::ZeroTiming().name ? std::make_shared<sim::RealClock>() : nullptr);
    for (const unsigned number : SimulatedNumbers(options_)) {
        auto config = sim::ConfigForBoard(boards[number - 1]);
        if (!config) {
            err << "unknown board '" << boards[number - 1]
                << "' for --simulate (use k3r8, k3r1, demoboard or mcurom)\n";
            return false;
        }
        if (number > 1)
            config->serialNumber =
                "QDMSIM" + std::string(number < 10 ? "000" : "00") + std::to_string(number);
        const std::vector<std::string> faults = FaultsOf(options_, number);
        ApplyConfigFaults(faults, *config);
        config->timing = *timing;
        auto dongle = std::make_shared<sim::VirtualDongle>(std::move(*config));
        std::string error;
        if (!ApplySimFaults(faults, *dongle, error)) {
            err << error << "\n";
            return false;
        }
        if (options_.simFill) sim::FillFlash(*dongle, SimFillByte(*options_.simFill));
        if (options_.simPreloaded) sim::PreloadWriterFirmware(*dongle);
        driver->Attach(dongle, number);
        simulated_.push_back({number, boards[number - 1], dongle});
    }
    simulation_ = sim::Simulation{driver, simulated_.empty() ? nullptr : simulated_.front().dongle};
    return true;
}

std::string Session::SimulatedBoard() const {
    if (simulated_.empty()) return {};
    const std::string board = SimulatedBoard(deviceId_);
    return board.empty() ? simulated_.front().board : board;
}

std::string Session::SimulatedBoard(std::string_view id) const {
    const std::vector<std::string> boards = SimulatedBoards(options_);
    const std::optional<unsigned> number = SimulatedNumber(id);
    if (!number || *number > boards.size()) return {};
    return boards[*number - 1];
}

std::vector<usb::DeviceLocation> Session::Dongles() {
    return usb::PresentDongles(*driver_);
}

bool Session::Select(const std::string& id) {
    auto selected = std::make_shared<usb::SelectedDeviceDriver>(driver_, id);
    if (id.empty() || !selected->Present()) return false;
    deviceId_ = id;
    usb::SetActiveDriver(selected);
    if (simulation_)
        for (const SimulatedDongle& dongle : simulated_)
            if ("sim:" + std::to_string(dongle.number) == id) {
                simulation_->dongle = dongle.dongle;
                if (options_.simDump) SetDumpDirectory(SimDumpFolder(options_, dongle.number));
            }
    return true;
}

bool Session::SelectFirst() {
    const std::vector<usb::DeviceLocation> dongles = Dongles();
    return !dongles.empty() && Select(dongles.front().id);
}

bool Session::PrepareForRun(std::string& problem) {
    State().FirmwareLoaded = 0;
    std::string where;
    if (!LoadFirmwareText(where, &problem)) return false;
    std::string why;
    if (ValidateFirmwareText(State().FirmwareText, &why)) return true;
    problem = where + " is not a dongle firmware file: " + why;
    return false;
}

bool Session::AfterRun(std::ostream& out, std::string& error) {
    if (!options_.simDump) return true;
    // Several virtual dongles, or one of several in a process of its own, each get a folder; the
    // first that cannot be written is the error, the others are still written.
    bool written = true;
    for (const SimulatedDongle& dongle : simulated_) {
        const std::filesystem::path folder = SimDumpFolder(options_, dongle.number);
        std::string why;
        if (sim::WriteDongleDump(*dongle.dongle, folder, &why)) {
            out << "Virtual dongle written to " << folder.string() << "\n";
        } else if (written) {
            error =
                "cannot write the virtual dongle into " + folder.string() + " (--sim-dump): " + why;
            written = false;
        }
    }
    return written;
}

Session::~Session() {
    if (simulation_) {
        SetDumpDirectory({});
        State().DumpFilesEnabled = dumpFilesEnabled_;
    }
    SetWindows7Condition(std::nullopt);
    usb::SetActiveDriver(nullptr);
    SetSleepHook(nullptr);
}

bool Session::LoadFirmwareText(std::string& where, std::string* problem) {
    std::vector<std::uint8_t>& text = State().FirmwareText;
    if (!options_.firmware && simulation_) {
        // Only the virtual dongle ever gets the stand-in; it is not a file anyone can find.
        where = "the virtual dongle's stand-in firmware";
        Diagnose([&] { return "firmware: taking " + where; });
        text = sim::StandInFirmwareFile();
        ExchangeNibbles(text);
        return true;
    }
    if (options_.firmware)
        Diagnose(
            [&] { return "firmware: taking the file --firmware names, " + *options_.firmware; });
    const std::filesystem::path file =
        options_.firmware ? std::filesystem::path(*options_.firmware) : FirmwareFilePath();
    where = file.string();
    std::string why;
    if (ReadFirmwareText(file, text, &why)) return true;
    if (problem == nullptr) return false;
    std::error_code ec;
    if (options_.firmware || std::filesystem::exists(file, ec)) {
        *problem = "cannot read the dongle firmware file " + where +
                   (options_.firmware ? " (--firmware)" : "") + ": " + why;
        return false;
    }
    *problem = std::string("the dongle firmware file ") + kFirmwareFileName +
               " was not found; it was looked for as\n";
    for (const std::filesystem::path& place : FirmwareSearchPaths())
        *problem += "  " + place.string() + "\n";
    *problem += kMissingFirmwareAdvice;
    return false;
}

}  // namespace qdm::session
