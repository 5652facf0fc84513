#pragma once
// The diagnostic log that -v / --verbose turns on: one line per transaction, per USB or system
// call that failed (under the error's own name), per firmware-load step and per place the
// firmware file was looked for. Every layer may write to it; no layer's behaviour depends on it.
//
// Off by default, and then free: writers go through Diagnose(), which looks at one atomic flag
// before it builds the line, so a program without -v formats and allocates nothing for it.
// Thread-safe: libusb completes transfers on a thread of its own.

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace qdm {

namespace detail {
inline std::atomic<bool> diagnosticsOn{false};
}

[[nodiscard]] inline bool DiagnosticsOn() noexcept {
    return detail::diagnosticsOn.load(std::memory_order_relaxed);
}

// Writes `text` (no line break in it) as one line, after the time since the log started.
void WriteDiagnostic(std::string_view text) noexcept;

// Writes the line `make()` returns; `make` runs only while the log is on. Never throws, so it may
// stand in destructors and catch blocks: a line lost is better than an operation broken off.
template <class Make>
void Diagnose(Make&& make) noexcept {
    if (!DiagnosticsOn()) return;
    try {
        WriteDiagnostic(std::forward<Make>(make)());
    } catch (...) {
        // Only memory can run out here; the log is no reason to stop.
    }
}

// Takes each whole line, its line break included; never called for two lines at once.
using DiagnosticSink = std::function<void(std::string_view line)>;

// Starts the log into `sink` (an empty sink stops it).
void StartDiagnostics(DiagnosticSink sink);

// Starts the log into `file`, emptied first; its folder is made when missing. Refuses a link or
// anything else that is not a regular file. False, with the reason in `error`, when the file
// cannot be written; the log stays off then.
bool StartDiagnosticsFile(const std::filesystem::path& file, std::string& error);

// Ends the log and closes its file.
void StopDiagnostics();

// The file the log goes to; empty when it is off or goes elsewhere.
std::filesystem::path DiagnosticsFile();

// "ENOENT": a C library error under its own name ("errno 123" for one without a name here).
std::string ErrnoName(int error);

}  // namespace qdm
