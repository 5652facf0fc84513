#include "workflows/RunLog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <system_error>

#include "state/Mainprocess.h"
#include "state/SafeFile.h"
#include "usb/Fileiofunctions.h"
#include "workflows/Mcurom_codec.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qdm {

namespace {
using Json = nlohmann::ordered_json;
}  // namespace

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char withMs[40];
    std::snprintf(withMs, sizeof withMs, "%s.%03dZ", text, static_cast<int>(ms));
    return withMs;
}

namespace {

std::string HostName() {
#if defined(_WIN32)
    const char* name = std::getenv("COMPUTERNAME");
    return name != nullptr ? name : "";
#else
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
#endif
}

std::string HexValue(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

template <class T, class F>
Json OrNull(const std::optional<T>& value, F make) {
    return value ? Json(make(*value)) : Json(nullptr);
}

Json StepJson(const RunStep& step) {
    Json json;
    json["ms"] = step.atMs;
    switch (step.kind) {
        case RunStep::Kind::Status:
            json["status"] = step.text;
            json["colour"] = step.colour == StatusColour::Red ? "red" : "blue";
            break;
        case RunStep::Kind::Message:
            json["message"] = step.text;
            break;
        case RunStep::Kind::FileLabel:
            json["label"] = step.text;
            break;
    }
    return json;
}

std::string Text(std::string_view text) {
    return std::string(text);
}

}  // namespace

std::string_view AgentName(std::int32_t agentIndex) {
    if (agentIndex < 0 || agentIndex >= static_cast<std::int32_t>(AgentNames.size())) return {};
    return AgentNames[static_cast<std::size_t>(agentIndex)];
}

RunRecorder::RunRecorder(OperatorPanel& inner, std::string program, std::string operation)
    : inner_(inner), start_(std::chrono::steady_clock::now()) {
    record_.time = UtcNow();
    record_.program = std::move(program);
    record_.version = QDM_VERSION;
    record_.host = HostName();
    record_.operation = std::move(operation);
}

void RunRecorder::Note(RunStep::Kind kind, std::string_view text) {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    record_.steps.push_back({kind,
                             std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(),
                             colour_, std::string(text)});
}

void RunRecorder::SetStatusColour(StatusColour colour) {
    colour_ = colour;
    inner_.SetStatusColour(colour);
}

void RunRecorder::SetStatusText(std::string_view text) {
    Note(RunStep::Kind::Status, text);
    inner_.SetStatusText(text);
}

void RunRecorder::SetFileLabel(std::string_view text) {
    Note(RunStep::Kind::FileLabel, text);
    inner_.SetFileLabel(text);
}

void RunRecorder::ShowMessage(std::string_view text) {
    Note(RunStep::Kind::Message, text);
    inner_.ShowMessage(text);
}

std::optional<std::string> RunRecorder::ChooseRomFile() {
    chosen_ = inner_.ChooseRomFile();
    return chosen_;
}

RunRecord RunRecorder::Finish(const RunOutcome& outcome) {
    RunRecord record = record_;
    record.simulated = simulated_;
    record.device = device_;
    record.details = outcome.details;
    if (record.details.file.empty() && chosen_) record.details.file = *chosen_;
    record.sha256 = record.details.sha256;
    if (!record.details.file.empty()) {
        std::error_code ec;
        record.absoluteFile =
            std::filesystem::absolute(record.details.file, ec).lexically_normal().string();
    }
    record.result = outcome.result;
    record.message = outcome.message;
    record.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start_)
                            .count();
    return record;
}

std::string RunRecordJson(const RunRecord& record) {
    const RunDetails& d = record.details;
    Json json;
    json["time"] = record.time;
    json["program"] = record.program;
    json["version"] = record.version;
    json["host"] = record.host;
    json["operation"] = record.operation;
    json["simulated"] = record.simulated.empty() ? Json(nullptr) : Json(record.simulated);
    json["device"] = record.device.empty() ? Json(nullptr) : Json(record.device);
    json["file"] = d.file.empty() ? Json(nullptr) : Json(d.file);
    json["file_absolute"] = record.absoluteFile.empty() ? Json(nullptr) : Json(record.absoluteFile);
    json["sha256"] = OrNull(record.sha256, [](const std::string& s) { return s; });
    json["kind"] = d.romKind.empty() ? Json(nullptr) : Json(d.romKind);
    json["image_length"] = d.romKind.empty() ? Json(nullptr) : Json(d.imageLength);
    json["chip_type"] = d.chipType.empty() ? Json(nullptr) : Json(d.chipType);
    json["chip_code"] = OrNull(d.chipCode, [](std::uint8_t c) { return HexValue(c, 2); });
    json["board"] = d.board.empty() ? Json(nullptr) : Json(d.board);
    json["agent"] = OrNull(d.agentIndex, [](std::int32_t a) { return Text(AgentName(a)); });
    json["agent_key"] =
        OrNull(d.agentIndex, [](std::int32_t a) { return HexValue(AgentKey(a), 2); });
    json["agent_forced"] = d.agentForced;
    json["key_passed"] = d.agentIndex ? Json(d.keyPassed) : Json(nullptr);
    json["checksum"] = OrNull(d.checksum, [](std::uint32_t c) { return HexValue(c, 8); });
    Json steps = Json::array();
    for (const RunStep& step : record.steps)
        steps.push_back(StepJson(step));
    json["stages"] = std::move(steps);
    json["result"] = RunResultName(record.result);
    json["message"] = record.message;
    json["duration_ms"] = record.durationMs;
    // File names need not be UTF-8; a lossy name beats a log line no reader can parse.
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::filesystem::path DefaultRunLogPath() {
    constexpr const char* kLogName = "runs.jsonl";
#if defined(_WIN32)
    const std::filesystem::path beside = ExecutableDirectory();
    if (IsWritableDirectory(beside)) return beside / kLogName;
#endif
    const std::filesystem::path user = UserDataDirectory();
    return user.empty() ? std::filesystem::path() : user / kLogName;
}

namespace {

bool Fail(std::string* error, std::string reason) {
    if (error != nullptr) *error = std::move(reason);
    return false;
}

bool CanAppend(const std::filesystem::path& file, std::string* error) {
    OutputFile log;
    if (const FileOutcome opened = log.Open(file, OutputMode::Append); !opened)
        return Fail(error, file.string() + ": " + opened.Reason());
    return true;
}

bool AppendLocked(const std::filesystem::path& file, std::string text, std::string* error) {
    // Appending puts each write at the end atomically; the lock keeps the repair of an unfinished
    // last line and a write that the system splits from meeting another run's line. The file is
    // never reached through a link, and a FIFO or device in its place is refused at once.
    OutputFile log;
    if (const FileOutcome opened = log.Open(file, OutputMode::Append); !opened)
        return Fail(error, file.string() + ": " + opened.Reason());
    if (!log.Lock()) return Fail(error, file.string() + ": cannot lock it");
    const std::uint64_t before = log.Size();
    std::array<std::uint8_t, 1> last{'\n'};
    if (before > 0 && log.ReadAt(before - 1, last) && last[0] != '\n')
        text.insert(text.begin(), '\n');
    FileOutcome written =
        log.Write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    if (written) written = log.Sync();
    if (!written) {
        // A full disk must not leave a part of the line behind for every later reader to trip
        // over: the file goes back to what it was.
        const bool undone = static_cast<bool>(log.Truncate(before));
        return Fail(error, file.string() + ": " + written.Reason() +
                               (undone ? "; the log is as it was" : ""));
    }
    return true;  // closing the file releases the lock
}

}  // namespace

namespace {
bool MakeFolderOf(const std::filesystem::path& file, std::string* error) {
    if (file.empty()) return Fail(error, "no folder for the run log");
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec)
        return Fail(error, "cannot create " + file.parent_path().string() + ": " + ec.message());
    return true;
}
}  // namespace

bool CheckRunLogWritable(const std::filesystem::path& file, std::string* error) {
    return MakeFolderOf(file, error) && CanAppend(file, error);
}

bool AppendRunLogLine(const std::filesystem::path& file, std::string_view line,
                      std::string* error) {
    if (line.find('\n') != std::string_view::npos || line.find('\r') != std::string_view::npos)
        return Fail(error, "a run log entry must be one line");
    if (!MakeFolderOf(file, error)) return false;
    std::string text(line);
    text += '\n';
    return AppendLocked(file, std::move(text), error);
}

}  // namespace qdm
