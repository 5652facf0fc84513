#pragma once
// The run log: one JSON line per download or MCU-ROM run, appended to a file in the user's data
// folder, so a programmed chip can be traced to the exact file, agent, chip type and board, and
// to every stage its run reached.
//
// A front end wraps its panel in a RunRecorder, runs the workflow on the recorder, and appends
// the record the recorder finishes:
//
//     qdm::RunRecorder recorder(panel, "qdm-writer", "download");
//     const qdm::RunOutcome outcome = qdm::RunDownload(recorder, options);
//     const qdm::RunRecord record = recorder.Finish(outcome);
//     std::string error;
//     if (!qdm::AppendRunRecord(record, qdm::DefaultRunLogPath(), &error)) { /* show error */ }
//
// Nothing here needs a window toolkit; the recorder adds no behaviour to the panel it wraps.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "workflows/OperatorPanel.h"
#include "workflows/RunOutcome.h"

namespace qdm {

// One thing the operator saw during a run.
struct RunStep {
    enum class Kind { Status, Message, FileLabel };
    Kind kind = Kind::Status;
    std::int64_t atMs = 0;                     // since the run started
    StatusColour colour = StatusColour::Blue;  // of a status line
    std::string text;
};

struct RunRecord {
    std::string time;  // start, UTC, ISO 8601 with milliseconds
    std::string program;
    std::string version;
    std::string host;
    std::string operation;  // "download", "fast download", "mcurom", ...
    std::string simulated;  // the virtual dongle's board; empty on hardware
    std::string device;     // the dongle's ID (its USB port); empty when none was chosen
    RunDetails details;
    std::string absoluteFile;           // details.file (as given) made absolute
    std::optional<std::string> sha256;  // of the ROM file's bytes the run loaded and programmed
    std::vector<RunStep> steps;
    RunResult result = RunResult::Failed;
    std::string message;
    std::int64_t durationMs = 0;
};

// An OperatorPanel that passes every call on to `inner` unchanged and notes the status lines,
// message boxes and file labels with their times.
class RunRecorder final : public OperatorPanel {
  public:
    RunRecorder(OperatorPanel& inner, std::string program, std::string operation);

    // The record of the run that just ended with `outcome`. The digest is the one of the bytes the
    // run loaded: the path is never read again, it may name something else by now.
    RunRecord Finish(const RunOutcome& outcome);
    // The board of the virtual dongle, when the run is simulated.
    void SetSimulated(std::string board) { simulated_ = std::move(board); }
    // The ID of the dongle the run uses, when one was chosen.
    void SetDevice(std::string id) { device_ = std::move(id); }

    void SetStatusColour(StatusColour colour) override;
    void SetStatusText(std::string_view text) override;
    void SetFileLabel(std::string_view text) override;
    void ShowMessage(std::string_view text) override;
    std::optional<std::string> ChooseRomFile() override;
    int ChipTypeCount() const override { return inner_.ChipTypeCount(); }
    std::string ChipTypeText(int index) const override { return inner_.ChipTypeText(index); }
    int SelectedChipType() const override { return inner_.SelectedChipType(); }
    void SelectChipType(int index) override { inner_.SelectChipType(index); }
    void SetOperationControls(bool enable) override { inner_.SetOperationControls(enable); }
    void SetDownloadEnabled(bool enable) override { inner_.SetDownloadEnabled(enable); }
    void SetDemoResetVisible(bool visible) override { inner_.SetDemoResetVisible(visible); }
    void SetDemoResetEnabled(bool enable) override { inner_.SetDemoResetEnabled(enable); }
    void SetProgressDisplay(bool on) override { inner_.SetProgressDisplay(on); }
    void ProcessMessages() override { inner_.ProcessMessages(); }
    void Wait(std::chrono::milliseconds duration) override { inner_.Wait(duration); }

  private:
    void Note(RunStep::Kind kind, std::string_view text);

    OperatorPanel& inner_;
    RunRecord record_;
    std::string simulated_;
    std::string device_;
    StatusColour colour_ = StatusColour::Blue;
    std::optional<std::string> chosen_;
    std::chrono::steady_clock::time_point start_;
};

// Now, UTC, ISO 8601 with milliseconds: "2024-05-01T12:00:00.123Z".
std::string UtcNow();

// The record as one line of JSON (no line break).
std::string RunRecordJson(const RunRecord& record);

// The log file: runs.jsonl in the user's data folder; on Windows beside the executable when
// files can be made there. Empty when there is no such folder.
std::filesystem::path DefaultRunLogPath();

// Appends `line` and a line break to `file` (its folder made when missing) with one write while
// holding the file's lock, then flushes it to the disk. Concurrent runs each add a whole line;
// a last line left unfinished by an earlier crash is ended first so it cannot swallow this one.
// False, with `error` when given, when the line could not be added.
bool AppendRunLogLine(const std::filesystem::path& file, std::string_view line,
                      std::string* error = nullptr);

// Whether a line could be appended to `file` now: its folder made when missing and the file
// opened for appending (an empty one made when missing), nothing written. False, with `error`
// when given, otherwise. For a run that must not start without its log entry.
bool CheckRunLogWritable(const std::filesystem::path& file, std::string* error = nullptr);

inline bool AppendRunRecord(const RunRecord& record, const std::filesystem::path& file,
                            std::string* error = nullptr) {
    return AppendRunLogLine(file, RunRecordJson(record), error);
}

// The name of an agent row; "" outside the table.
std::string_view AgentName(std::int32_t agentIndex);

}  // namespace qdm
