#pragma once
// The files a process reads and the ones it writes, so that no output lands on an input (or on
// another output) before anything is opened for writing: `--trace R download R` would otherwise
// empty the ROM file and program the trace.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "session/SessionOptions.h"

namespace qdm::session {

// A file and what it is, for the message: "the ROM file", "the trace file".
struct NamedFile {
    std::string role;
    std::filesystem::path path;
};

struct ProcessFiles {
    std::vector<NamedFile> inputs;
    std::vector<NamedFile> outputs;

    // The session's own: the firmware file it would read (not for the virtual dongle's stand-in),
    // the trace and the files --sim-dump writes.
    void AddSession(const SessionOptions& options);
};

// Why an output may not be written: it is an input or another output, compared by identity, so
// links and second names count, or for a file not made yet by its path. Nullopt when every output
// is a file of its own.
std::optional<std::string> OutputOverAnInput(const ProcessFiles& files);

}  // namespace qdm::session
