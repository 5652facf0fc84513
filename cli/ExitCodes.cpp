#include "cli/ExitCodes.h"

namespace qdm::cli {

std::string_view ExitCodeName(int code) {
    for (const ExitCodeRow& row : kExitCodeTable)
        if (row.code == code) return row.name;
    return "internal";
}

int ExitCodeFor(RunResult result) {
    switch (result) {
        case RunResult::Success:
            return kExitSuccess;
        case RunResult::NoDongle:
            return kExitNoDongle;
        case RunResult::DongleError:
        case RunResult::FirmwareError:
            return kExitDongle;
        case RunResult::Cancelled:
        case RunResult::FileError:
            return kExitFile;
        case RunResult::ChipTypeMissing:
            return kExitChipType;
        case RunResult::BoardBusy:
            return kExitBoardBusy;
        case RunResult::NoBoard:
        case RunResult::Unsupported:
            return kExitNoBoard;
        case RunResult::IdCheck:
            return kExitIdCheck;
        case RunResult::Erase:
            return kExitErase;
        case RunResult::BlankCheck:
            return kExitBlankCheck;
        case RunResult::Program:
            return kExitProgram;
        case RunResult::Verify:
            return kExitVerify;
        case RunResult::Failed:
            return kExitInternal;
    }
    return kExitInternal;
}

}  // namespace qdm::cli
