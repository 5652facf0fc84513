#pragma once
// Exit statuses of qdm-writer-cli, one per kind of failure so scripts can tell them apart.

#include <array>
#include <string_view>

#include "workflows/RunOutcome.h"

namespace qdm::cli {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitInternal = 1,     // an unexpected failure inside the program
    kExitUsage = 2,        // wrong command line
    kExitNoDongle = 3,     // no dongle found
    kExitDongle = 4,       // foreign dongle, hardware version, firmware, wrong kind of dongle
    kExitFile = 5,         // ROM, firmware, trace, run log or output file unusable
    kExitChipType = 6,     // no chip type for the image
    kExitBoardBusy = 7,    // the client board did not switch on
    kExitNoBoard = 8,      // no known client board, or one that cannot do what was asked
    kExitIdCheck = 9,      // the flash ID check failed
    kExitErase = 10,       // erase failed
    kExitBlankCheck = 11,  // not blank after erasing
    kExitProgram = 12,     // programming failed
    kExitVerify = 13,      // data or option verify failed
    kExitAccess = 14,      // a dongle is attached but cannot be opened (permission, busy)
};

struct ExitCodeRow {
    int code;
    std::string_view name;     // the "result" of --json
    std::string_view meaning;  // for --help and the manual
};

inline constexpr std::array<ExitCodeRow, 15> kExitCodeTable = {{
    {kExitSuccess, "success", "success"},
    {kExitInternal, "internal", "internal error"},
    {kExitUsage, "usage", "wrong command line"},
    {kExitNoDongle, "no-dongle", "no dongle found"},
    {kExitDongle, "dongle",
     "foreign dongle, hardware version, firmware download, wrong kind of dongle"},
    {kExitFile, "file", "ROM, firmware, trace, run log or output file unusable"},
    {kExitChipType, "chip-type", "no chip type for the image"},
    {kExitBoardBusy, "board-busy", "the client board is busy"},
    {kExitNoBoard, "no-board", "no known client board, or one that cannot do this"},
    {kExitIdCheck, "id-check", "flash ID check failed"},
    {kExitErase, "erase", "erase failed"},
    {kExitBlankCheck, "blank-check", "not blank after erasing"},
    {kExitProgram, "program", "programming failed"},
    {kExitVerify, "verify", "data or option page verify failed"},
    {kExitAccess, "access", "a dongle is attached but cannot be opened (permission, busy)"},
}};

// The name of an exit status; "internal" for one outside the table.
std::string_view ExitCodeName(int code);

// The exit status of a workflow run.
int ExitCodeFor(RunResult result);

}  // namespace qdm::cli
