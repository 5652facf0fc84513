// gang ROMFILE: one download per dongle at the same time, each in a child process of its own
// (qdm-writer-cli --device ID --progress=jsonl --json download ...), so that a fault or a hang
// at one dongle never stops another. The parent only starts, watches and sums up: it opens no
// dongle itself.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/ChildProcess.h"
#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "cli/RunSupport.h"
#include "cli/TerminalPanel.h"
#include "session/Session.h"
#include "state/Mainprocess.h"
#include "usb/DeviceSelection.h"
#include "workflows/DownloadWorkflow.h"
#include "workflows/RunLog.h"

namespace qdm::cli {

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;
constexpr std::chrono::seconds kKillGrace{5};
constexpr std::size_t kIdWidth = 12;
constexpr std::size_t kBoardWidth = 22;
constexpr std::size_t kStageWidth = 40;
constexpr int kBarWidth = 20;

struct GangArguments {
    std::string file;
    std::optional<std::string> devices;
    std::optional<int> chip;
    DownloadOptions options;
    unsigned deadline = 600;
};

// One dongle of the gang and the child that programs it.
struct Station {
    enum class State { NotStarted, Running, Done };

    explicit Station(std::string dongle) : id(std::move(dongle)) {}

    std::string id;
    State state = State::NotStarted;
    std::unique_ptr<ChildProcess> child;
    std::string out;     // unfinished line of its standard output
    std::string errors;  // its standard error, the last of it
    std::string board;
    std::string stage = "waiting";
    bool red = false;
    int percent = -1;
    std::optional<Json> result;  // its result object
    Clock::time_point start;
    Clock::time_point end;
    bool terminated = false;
    bool overdue = false;
    std::optional<Clock::time_point> killAt;
    int exitCode = kExitInternal;
    std::string resultName;
    std::string message;

    [[nodiscard]] double Seconds() const {
        if (state == State::NotStarted) return 0;
        const auto until = state == State::Done ? end : Clock::now();
        return std::chrono::duration<double>(until - start).count();
    }
};

std::string Fit(std::string text, std::size_t width) {
    if (text.size() > width) {
        text.resize(width - 1);
        text += '~';
    }
    return text + std::string(width - text.size() + 1, ' ');
}

// The child's command line: the session options that reach the dongle, its own ID, machine
// output, and the download with the gang's options.
std::vector<std::string> ChildArguments(const GlobalOptions& global, const GangArguments& gang,
                                        const std::string& id) {
    const session::SessionOptions& s = global.session;
    std::vector<std::string> args;
    const auto add = [&args](std::initializer_list<std::string> words) {
        args.insert(args.end(), words);
    };
    // Every child gets every virtual dongle's options; with --device it makes its own only.
    if (s.simulate) add({"--simulate", *s.simulate});
    if (s.firmware) add({"--firmware", *s.firmware});
    if (s.simDump) add({"--sim-dump", *s.simDump});
    for (const std::string& fault : s.simFaults)
        add({"--sim-fault", fault});
    if (s.simFill) add({"--sim-fill", *s.simFill});
    if (s.simPreloaded) add({"--sim-preloaded"});
    if (s.simTiming) add({"--sim-timing", *s.simTiming});
    if (global.log) add({"--log", *global.log});
    if (global.noLog) add({"--no-log"});
    add({"--device", id, "--progress", "jsonl", "--json", "--quiet", "download"});
    std::error_code ec;
    const std::filesystem::path file = std::filesystem::absolute(gang.file, ec);
    add({ec ? gang.file : file.string()});
    if (gang.chip)
        add({"--chip", std::string(ChipTypeNames[static_cast<std::size_t>(*gang.chip)])});
    if (gang.options.agent) add({"--agent", std::to_string(*gang.options.agent)});
    if (gang.options.fast) add({"--fast"});
    return args;
}

// The dongles --devices names (all of them by default), each attached; nothing, reported, when
// one is not.
std::optional<std::vector<std::string>> ChooseDevices(Output& output, Session& session,
                                                      const std::optional<std::string>& devices) {
    const std::vector<usb::DeviceLocation> attached = session.Dongles();
    std::vector<std::string> ids;
    if (!devices || *devices == "all") {
        for (const usb::DeviceLocation& dongle : attached)
            if (!dongle.id.empty()) ids.push_back(dongle.id);
        if (ids.empty()) {
            output.Error("no dongle found");
            return std::nullopt;
        }
        return ids;
    }
    for (std::size_t at = 0; at <= devices->size();) {
        const std::size_t end = std::min(devices->find(',', at), devices->size());
        const std::string id = devices->substr(at, end - at);
        at = end + 1;
        if (std::find(ids.begin(), ids.end(), id) != ids.end()) continue;
        const bool present =
            std::any_of(attached.begin(), attached.end(),
                        [&id](const usb::DeviceLocation& dongle) { return dongle.id == id; });
        if (!present) {
            output.Error("no dongle " + id + " is attached (attached: " + usb::IdList(attached) +
                         ")");
            return std::nullopt;
        }
        ids.push_back(id);
    }
    return ids;
}

class Gang {
  public:
    Gang(Context& context, const GangArguments& arguments, Session& session,
         const std::vector<std::string>& ids)
        : context_(context),
          output_(context.Out()),
          arguments_(arguments),
          session_(session),
          live_(output_.HumanIsTerminal()) {
        for (const std::string& id : ids)
            stations_.emplace_back(id);
    }

    int Run() {
        // Ctrl-C is counted here, and acted on by the loop.
        const InterruptCount interrupts;
        for (Station& station : stations_) {
            if (interrupts_ > 0) break;
            Start(station);
            CheckInterrupts(interrupts.Count());
        }
        if (live_) Draw();
        while (std::any_of(stations_.begin(), stations_.end(),
                           [](const Station& s) { return s.state == Station::State::Running; })) {
            Watch();
            CheckInterrupts(interrupts.Count());
            CheckDeadlines();
            if (live_ && Clock::now() - drawn_ >= std::chrono::milliseconds(kPollMs)) Draw();
        }
        if (live_) Draw();
        return Summary();
    }

  private:
    void Start(Station& station) {
        std::string error;
        station.start = Clock::now();
        station.child =
            ChildProcess::Start(ChildArguments(context_.Options(), arguments_, station.id), error);
        if (!station.child) {
            Finish(station, kExitInternal, "internal", "cannot start its process: " + error);
            return;
        }
        station.state = Station::State::Running;
        station.stage = "starting";
    }

    // Reads what the children wrote, for at most one poll.
    void Watch() {
        std::vector<ChildProcess*> children;
        for (const Station& station : stations_)
            if (station.state == Station::State::Running) children.push_back(station.child.get());
        for (const auto& [child, stream] : ChildProcess::Readable(children, kPollMs)) {
            const auto station =
                std::find_if(stations_.begin(), stations_.end(),
                             [child = child](const Station& s) { return s.child.get() == child; });
            if (station == stations_.end() || station->state != Station::State::Running) continue;
            if (stream == ChildProcess::Stream::Output) {
                child->ReadFrom(stream, station->out);
                TakeLines(*station);
            } else {
                child->ReadFrom(stream, station->errors);
                // Only its last words matter, for a child that ends without its result.
                if (station->errors.size() > 4096)
                    station->errors.erase(0, station->errors.size() - 4096);
            }
            if (!child->IsOpen(ChildProcess::Stream::Output) &&
                !child->IsOpen(ChildProcess::Stream::Errors))
                Ended(*station);
        }
    }

    void TakeLines(Station& station) {
        for (std::size_t end; (end = station.out.find('\n')) != std::string::npos;) {
            const std::string line = station.out.substr(0, end);
            station.out.erase(0, end + 1);
            Json json = Json::parse(line, nullptr, false);
            if (!json.is_object()) continue;
            if (json.contains("command")) {
                station.result = std::move(json);
                continue;
            }
            if (!json.contains("event")) continue;
            if (context_.Options().progressLines) {
                output_.Lines() << line << "\n";
                output_.Lines().flush();
            }
            if (json["board"].is_string()) station.board = json["board"].get<std::string>();
            const bool status = json["event"] == "status";
            if (json["text"].is_string()) station.stage = json["text"].get<std::string>();
            station.red = json["colour"] == "red";
            station.percent = json["value"].is_number() ? json["value"].get<int>() : -1;
            if (status && !live_)
                output_.Human() << station.id << ": " << (station.red ? "[red] " : "")
                                << station.stage << "\n";
        }
    }

    void Ended(Station& station) {
        const int status = station.child->Wait();
        std::string result = "internal";
        std::string message;
        int code = status;
        if (station.result) {
            const Json& json = *station.result;
            code = json.value("exit_code", status);
            result = json.value("result", result);
            message = json.value("message", std::string());
            if (json.contains("run") && json["run"]["board"].is_string())
                station.board = json["run"]["board"].get<std::string>();
        } else {
            // It ended without its result: stopped, or broken off.
            result = station.overdue ? "deadline" : station.terminated ? "stopped" : "internal";
            message = station.overdue ? "the deadline of " + std::to_string(arguments_.deadline) +
                                            " s passed; the download was stopped"
                      : station.terminated ? "stopped by a second Ctrl-C"
                                           : LastLine(station.errors);
            if (message.empty())
                message = "its process ended with status " + std::to_string(status);
            code = kExitInternal;
            LogStopped(station, message);
        }
        Finish(station, code, result, message);
    }

    void Finish(Station& station, int code, std::string result, std::string message) {
        station.state = Station::State::Done;
        station.end = Clock::now();
        station.exitCode = code;
        station.resultName = std::move(result);
        station.message = std::move(message);
        station.red = code != kExitSuccess;
        station.stage = code == kExitSuccess ? "done" : station.message;
        if (!live_)
            output_.Human() << station.id << ": " << station.resultName << " (exit "
                            << station.exitCode << ") in " << Seconds(station.Seconds()) << " s\n";
    }

    static std::string LastLine(std::string text) {
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        const std::size_t start = text.rfind('\n');
        text = start == std::string::npos ? text : text.substr(start + 1);
        const std::string prefix = "qdm-writer-cli: ";
        if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
        return text;
    }

    static std::string Seconds(double seconds) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", seconds);
        return text;
    }

    // A child stopped before it could log its run: its line is written for it, so that every
    // dongle the gang touched has its trace.
    void LogStopped(const Station& station, const std::string& message) {
        if (context_.Options().noLog) return;
        std::ostream discard(nullptr);
        TerminalPanel quiet(discard, false, std::nullopt, 0);
        RunRecorder recorder(quiet, "qdm-writer-cli",
                             arguments_.options.fast ? "fast download" : "download");
        recorder.SetDevice(station.id);
        recorder.SetSimulated(session_.SimulatedBoard(station.id));
        RunOutcome outcome{RunResult::Failed, message};
        outcome.details.file = arguments_.file;
        outcome.details.board = station.board;
        RunRecord record = recorder.Finish(outcome);
        record.durationMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - station.start)
                .count();
        std::string error;
        if (!AppendRunRecord(record, RunLogPath(context_), &error))
            output_.Warn(station.id + ": the stopped run was not logged: " + error);
    }

    void CheckInterrupts(int now) {
        if (now == interrupts_) return;
        const bool first = interrupts_ == 0;
        interrupts_ = now;
        if (first) {
            Say("Ctrl-C: the running downloads finish (a half-programmed chip is worse than a "
                "wait) and no new one starts; Ctrl-C again stops them.");
        }
        if (now >= 2 && !stopping_) {
            stopping_ = true;
            Say("Ctrl-C again: stopping the running downloads.");
            for (Station& station : stations_)
                Stop(station);
        }
    }

    void Stop(Station& station) {
        if (station.state != Station::State::Running || station.terminated) return;
        station.terminated = true;
        station.child->Terminate();
        station.killAt = Clock::now() + kKillGrace;
    }

    void CheckDeadlines() {
        const auto now = Clock::now();
        for (Station& station : stations_) {
            if (station.state != Station::State::Running) continue;
            if (!station.terminated &&
                now - station.start >= std::chrono::seconds(arguments_.deadline)) {
                station.overdue = true;
                Stop(station);
            }
            if (station.killAt && now >= *station.killAt) {
                station.child->Kill();
                station.killAt.reset();
            }
        }
    }

    // A line of the parent's own, above the table.
    void Say(const std::string& text) {
        if (live_ && drawnLines_ > 0) {
            output_.Human() << "\x1b[" << drawnLines_ << "A\r\x1b[J";
            drawnLines_ = 0;
        }
        std::cerr << "qdm-writer-cli: " << text << "\n";
        std::cerr.flush();
        if (live_) Draw();
    }

    // The table in place: one line per dongle, redrawn over the last one.
    void Draw() {
        std::ostream& out = output_.Human();
        if (drawnLines_ > 0) out << "\x1b[" << drawnLines_ << "A";
        for (const Station& station : stations_) {
            std::string bar;
            if (station.state == Station::State::Running && station.percent >= 0) {
                const int filled = station.percent * kBarWidth / 100;
                bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') + "] " +
                      std::to_string(station.percent) + "%";
            }
            out << "\r" << Fit(station.id, kIdWidth)
                << Fit(station.board.empty() ? "-" : station.board, kBoardWidth)
                << (station.red ? "\x1b[31m" : "") << Fit(station.stage, kStageWidth)
                << (station.red ? "\x1b[0m" : "") << bar << "\x1b[K\n";
        }
        out.flush();
        drawnLines_ = static_cast<int>(stations_.size());
        drawn_ = Clock::now();
    }

    int Summary() {
        std::ostream& out = output_.Human();
        Json& devices = output_.Result()["devices"];
        devices = Json::array();
        out << "\n"
            << Fit("ID", kIdWidth) << Fit("BOARD", kBoardWidth) << Fit("RESULT", 12) << "EXIT"
            << "  SECONDS\n";
        int code = kExitSuccess;
        std::size_t failed = 0;
        for (Station& station : stations_) {
            if (station.state == Station::State::NotStarted) {
                station.resultName = "not-started";
                station.message = "not started: Ctrl-C came first";
                station.exitCode = kExitInternal;
            }
            char row[64];
            std::snprintf(row, sizeof row, "%4d  %7s", station.exitCode,
                          Seconds(station.Seconds()).c_str());
            out << Fit(station.id, kIdWidth)
                << Fit(station.board.empty() ? "-" : station.board, kBoardWidth)
                << Fit(station.resultName, 12) << row
                << (station.exitCode != kExitSuccess ? "  " + station.message : "") << "\n";
            Json entry;
            entry["device"] = station.id;
            entry["board"] = station.board.empty() ? Json(nullptr) : Json(station.board);
            entry["result"] = station.resultName;
            entry["exit_code"] = station.exitCode;
            entry["seconds"] =
                std::chrono::duration<double>(
                    std::chrono::milliseconds(static_cast<std::int64_t>(station.Seconds() * 1000)))
                    .count();
            entry["message"] = station.message;
            entry["run"] = station.result && station.result->contains("run")
                               ? (*station.result)["run"]
                               : Json(nullptr);
            devices.push_back(std::move(entry));
            if (station.exitCode != kExitSuccess) {
                ++failed;
                // The first failure in the order of the dongles decides, as a script reads it.
                if (code == kExitSuccess) code = station.exitCode;
            }
        }
        if (failed > 0)
            output_.Error(std::to_string(failed) + " of " + std::to_string(stations_.size()) +
                          " downloads failed");
        return code;
    }

    Context& context_;
    Output& output_;
    const GangArguments& arguments_;
    Session& session_;
    const bool live_;
    std::vector<Station> stations_;
    int interrupts_ = 0;
    bool stopping_ = false;
    int drawnLines_ = 0;
    Clock::time_point drawn_;
};

int RunGang(Context& context, const GangArguments& arguments) {
    Output& output = context.Out();
    if (!ChildProcess::Supported()) {
        output.Error(
            "gang runs each download in a process of its own, and this program cannot find its "
            "own executable to start: run one `download --device ID` per dongle instead");
        return kExitInternal;
    }
    if (arguments.file.empty()) {
        output.Error("gang needs a ROM file");
        return kExitUsage;
    }
    if (context.Options().session.trace) {
        output.Error("--trace records one dongle: trace a download --device ID instead");
        return kExitUsage;
    }
    if (arguments.deadline == 0) {
        output.Error("--deadline needs a number of seconds above 0");
        return kExitUsage;
    }
    // Every child reads the ROM file and appends to the run log: both are checked once here.
    if (const int checked =
            CheckDownloadInputs(context, arguments.file, arguments.chip, arguments.options);
        checked != kExitSuccess)
        return checked;
    Session* session = context.Dongle(DongleUse::All);
    if (session == nullptr) return context.DongleFailure();
    std::optional<std::string> devices = arguments.devices;
    if (!devices && context.Options().session.device) devices = context.Options().session.device;
    const auto ids = ChooseDevices(output, *session, devices);
    if (!ids) return kExitNoDongle;
    return Gang(context, arguments, *session, *ids).Run();
}

}  // namespace

void AddGangCommand(CommandSet& commands) {
    auto gang = std::make_shared<GangArguments>();
    CLI::App& app = commands.Add(
        {"gang", "ROMFILE",
         "ROMFILE [--devices ID,ID|all] [--chip NAME] [--fast]\n[--agent NAME] [--deadline S]",
         "program every dongle at once (--devices, --chip, --fast)",
         "One download per dongle at the same time, each in a process of its own with its own\n"
         "exit status and run-log line (a fault or a hang at one dongle never stops another):\n"
         "`download --device ID` with the same options. On a terminal a table shows each\n"
         "dongle's board, stage and progress as it goes; otherwise each status line is printed\n"
         "with its dongle's ID. A summary ends it: board, result, exit status and seconds per\n"
         "dongle. With --json, one object with a result per dongle (\"devices\").\n"
         "\n"
         "Ctrl-C lets the running downloads finish and starts no new one: a half-programmed chip\n"
         "is worse than a wait. A second Ctrl-C stops them.\n",
         "Exits 0 only when every download succeeded; otherwise with the exit status of the\n"
         "first dongle, in the order of --devices, that failed. A download that is stopped, or\n"
         "passes its deadline, counts as an internal failure (1).\n"},
        [gang](Context& context) { return RunGang(context, *gang); });
    app.add_option("ROMFILE", gang->file);
    app.add_option("--devices", gang->devices,
                   "the dongles, by the IDs `list` shows, or all (default)")
        ->type_name("ID,ID");
    AddChipOption(app, gang->chip, "chip type, as for download");
    app.add_flag("--fast", gang->options.fast, "the fast download on every dongle");
    AddAgentOption(app, gang->options.agent, "take this agent's key, as for download");
    app.add_option("--deadline", gang->deadline,
                   "stop a download that takes longer than this (default 600)")
        ->type_name("SECONDS");
}

}  // namespace qdm::cli
