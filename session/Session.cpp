#include "session/Session.h"

#include <ostream>

#include "protocol/HostHooks.h"
#include "session/SimFaults.h"
#include "sim/SimulationDump.h"
#include "sim/StandInFirmware.h"
#include "state/DiagnosticLog.h"
#include "state/Mainprocess.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"
#include "usb/PcapTraceDriver.h"
#include "workflows/DongleCheck.h"

namespace qdm::session {

std::unique_ptr<Session> Session::Create(const SessionOptions& options, std::ostream& err,
                                         SetupProblem* problem) {
    if (problem != nullptr) *problem = SetupProblem::Options;
    auto session = std::make_unique<Session>(Key{});
    session->options_ = options;
    std::shared_ptr<usb::UsbDriver> driver;
    if (options.simulate) {
        auto config = sim::ConfigForBoard(*options.simulate);
        if (!config) {
            err << "unknown board '" << *options.simulate
                << "' for --simulate (use k3r8, k3r1, demoboard or mcurom)\n";
            return nullptr;
        }
        ApplyConfigFaults(options.simFaults, *config);
        const sim::TimingProfile* timing =
            sim::TimingByName(options.simTiming.value_or(std::string(sim::ZeroTiming().name)));
        if (timing == nullptr) {
            err << "unknown timing '" << *options.simTiming << "' for --sim-timing (use "
                << sim::TimingNames() << ")\n";
            return nullptr;
        }
        config->timing = *timing;
        // A profile that takes time runs on the real clock; the zero profile on a virtual one,
        // where a reply that never comes costs no real time.
        const bool realTime = timing->name != sim::ZeroTiming().name;
        session->simulation_ =
            sim::MakeSimulation(*config, realTime ? std::make_shared<sim::RealClock>() : nullptr);
        std::string error;
        if (!ApplySimFaults(options.simFaults, *session->simulation_->dongle, error)) {
            err << error << "\n";
            return nullptr;
        }
        if (options.simPreloaded) sim::PreloadWriterFirmware(*session->simulation_->dongle);
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
        if (!trace->IsOpen()) {
            err << "cannot create the trace file " << *options.trace << "\n";
            if (problem != nullptr) *problem = SetupProblem::File;
            return nullptr;
        }
        driver = trace;
    }
    usb::SetActiveDriver(driver);
    return session;
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

void Session::AfterRun(std::ostream& out) {
    if (!simulation_ || !options_.simDump) return;
    if (sim::WriteDongleDump(*simulation_->dongle, *options_.simDump)) {
        out << "Virtual dongle written to " << *options_.simDump << "\n";
    } else {
        out << "Cannot write the virtual dongle into " << *options_.simDump << "\n";
    }
}

Session::~Session() {
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
    *problem +=
        "It comes with the dongle: copy it to one of these places (your own data folder for "
        "yourself, a package data folder for every user of the machine), or name it with "
        "--firmware FILE.";
    return false;
}

}  // namespace qdm::session
