#pragma once
// How a workflow run ended. The window shows it on its status line only; the command-line tool
// and the run log need it as a value.

#include <string>

namespace qdm {

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
    Failed,  // an unexpected failure inside the run
};

struct RunOutcome {
    RunResult result = RunResult::Failed;
    std::string message;  // the run's last message

    [[nodiscard]] bool Succeeded() const { return result == RunResult::Success; }
};

}  // namespace qdm
