#pragma once
// Exit statuses of qdm-writer-cli, one per kind of failure so scripts can tell them apart.

namespace qdm::cli {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitInternal = 1,     // an unexpected failure inside the program
    kExitUsage = 2,        // wrong command line
    kExitNoDongle = 3,     // no dongle found
    kExitDongle = 4,       // foreign dongle, hardware version, firmware, not a writer dongle
    kExitFile = 5,         // ROM or firmware file unreadable or rejected
    kExitChipType = 6,     // no chip type for the image
    kExitBoardBusy = 7,    // the client board did not switch on
    kExitNoBoard = 8,      // no known client board
    kExitIdCheck = 9,      // the flash ID check failed
    kExitErase = 10,       // erase failed
    kExitBlankCheck = 11,  // not blank after erasing
    kExitProgram = 12,     // programming failed
    kExitVerify = 13,      // data or option verify failed
    kExitAccess = 14,      // a dongle is attached but cannot be opened (permission, busy)
};

}  // namespace qdm::cli
