#include "state/DiagnosticLog.h"

#include "state/SafeFile.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>

namespace qdm {

namespace {

struct Log {
    std::mutex mutex;
    DiagnosticSink sink;
    OutputFile file;
    std::filesystem::path path;
    std::chrono::steady_clock::time_point start;
};

Log& TheLog() {
    static Log log;
    return log;
}

// Turns the log on for `sink`; the caller holds the mutex.
void StartLocked(Log& log, DiagnosticSink sink) {
    log.sink = std::move(sink);
    log.start = std::chrono::steady_clock::now();
    detail::diagnosticsOn.store(static_cast<bool>(log.sink), std::memory_order_relaxed);
}

void StopLocked(Log& log) {
    detail::diagnosticsOn.store(false, std::memory_order_relaxed);
    log.sink = nullptr;
    log.file.Close();
    log.path.clear();
}

}  // namespace

void WriteDiagnostic(std::string_view text) noexcept try {
    Log& log = TheLog();
    const std::lock_guard lock(log.mutex);
    if (!log.sink) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - log.start)
                        .count();
    std::array<char, 32> stamp{};
    const int n =
        std::snprintf(stamp.data(), stamp.size(), "[%6lld.%03lld] ",
                      static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
    std::string line(stamp.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    line.append(text);
    line += '\n';
    log.sink(line);
} catch (...) {
    // A line that cannot be made or written is lost; the program goes on.
}

void StartDiagnostics(DiagnosticSink sink) {
    Log& log = TheLog();
    const std::lock_guard lock(log.mutex);
    StopLocked(log);
    StartLocked(log, std::move(sink));
}

bool StartDiagnosticsFile(const std::filesystem::path& file, std::string& error) {
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
        error = "cannot create " + file.parent_path().string() + ": " + ec.message();
        return false;
    }
    // Never through a link, never anything but a regular file: the path lies in a folder other
    // users may share, and a FIFO planted there must not hold the program up.
    OutputFile opened;
    if (const FileOutcome outcome = opened.Open(file, OutputMode::Truncate, 0600); !outcome) {
        error = outcome.problem == FileProblem::NotRegular
                    ? file.string() + " is not a regular file"
                    : "cannot create " + file.string() + ": " + outcome.Reason();
        return false;
    }
    Log& log = TheLog();
    const std::lock_guard lock(log.mutex);
    StopLocked(log);
    log.file = std::move(opened);
    log.path = file;
    OutputFile* out = &log.file;
    // Written line by line: the log is read most after a run that went wrong, crashes included.
    StartLocked(log, [out](std::string_view line) {
        (void)out->Write({reinterpret_cast<const std::uint8_t*>(line.data()), line.size()});
    });
    return true;
}

void StopDiagnostics() {
    Log& log = TheLog();
    const std::lock_guard lock(log.mutex);
    StopLocked(log);
}

std::filesystem::path DiagnosticsFile() {
    Log& log = TheLog();
    const std::lock_guard lock(log.mutex);
    return log.path;
}

std::string ErrnoName(int error) {
    const char* name = nullptr;
    switch (error) {
        // clang-format off
        case EPERM: name = "EPERM"; break;
        case ENOENT: name = "ENOENT"; break;
        case EINTR: name = "EINTR"; break;
        case EIO: name = "EIO"; break;
        case ENXIO: name = "ENXIO"; break;
        case EBADF: name = "EBADF"; break;
        case EAGAIN: name = "EAGAIN"; break;
        case ENOMEM: name = "ENOMEM"; break;
        case EACCES: name = "EACCES"; break;
        case EBUSY: name = "EBUSY"; break;
        case EEXIST: name = "EEXIST"; break;
        case ENODEV: name = "ENODEV"; break;
        case ENOTDIR: name = "ENOTDIR"; break;
        case EISDIR: name = "EISDIR"; break;
        case EINVAL: name = "EINVAL"; break;
        case ENFILE: name = "ENFILE"; break;
        case EMFILE: name = "EMFILE"; break;
        case EFBIG: name = "EFBIG"; break;
        case ENOSPC: name = "ENOSPC"; break;
        case EROFS: name = "EROFS"; break;
        case ENAMETOOLONG: name = "ENAMETOOLONG"; break;
        case ELOOP: name = "ELOOP"; break;
        case ETIMEDOUT: name = "ETIMEDOUT"; break;
        // clang-format on
        default:
            break;
    }
    return name != nullptr ? std::string(name) : "errno " + std::to_string(error);
}

}  // namespace qdm
