#pragma once
// How a workflow run ended. The window shows it on its status line only; the command-line tool
// and the run log need it as a value.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qdm {

class RomImage;

enum class RunResult {
    Success,
    Cancelled,        // the operator cancelled the file dialog
    NoDongle,         // "USB Not Found!!"
    DongleError,      // hardware version, foreign dongle
    FirmwareError,    // firmware download failed
    FileError,        // ROM file unreadable, rejected or of a size the flow cannot take
    ChipTypeMissing,  // "Please select the chip type!"
    BoardBusy,        // the board interface did not switch on
    NoBoard,          // no known client board
    IdCheck,
    Erase,
    BlankCheck,
    Program,
    Verify,
    Unsupported,  // the board (or MCU-ROM flash) has no such operation
    Failed,       // an unexpected failure inside the run
};

// A short lower-case name of the result ("success", "blank-check", ...) for machine-readable
// reports.
const char* RunResultName(RunResult result);

// What a run learnt about its board and image, for the run log and the command line's report.
// What the run did not get to stays empty.
struct RunDetails {
    std::string file;     // the ROM file the run loaded
    std::string board;    // the client board's name, or "MCU-ROM" for the MCU-ROM flow
    std::string romKind;  // "RV24" or "RV20"
    std::size_t imageLength = 0;
    std::string chipType;  // the chip type row the image was programmed as
    std::optional<std::uint8_t> chipCode;
    std::optional<std::int32_t> agentIndex;
    bool agentForced = false;  // named by the caller instead of found by the key search
    bool keyPassed = false;    // the agent's key passes the first-byte test
    std::optional<std::uint32_t> checksum;
    std::optional<std::string> sha256;  // of the file's bytes as the run read them

    // Takes the facts of the image the run loaded: kind, length, agent, checksum and digest.
    void NoteRom(const RomImage& rom);
};

struct RunOutcome {
    RunResult result = RunResult::Failed;
    std::string message;  // the run's last message
    RunDetails details{};

    [[nodiscard]] bool Succeeded() const { return result == RunResult::Success; }
};

}  // namespace qdm
