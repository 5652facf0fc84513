#include "workflows/RunOutcome.h"

#include "workflows/BoardOperation.h"
#include "workflows/RomImage.h"

namespace qdm {

const char* RunResultName(RunResult result) {
    switch (result) {
        case RunResult::Success:
            return "success";
        case RunResult::Cancelled:
            return "cancelled";
        case RunResult::NoDongle:
            return "no-dongle";
        case RunResult::DongleError:
            return "dongle";
        case RunResult::FirmwareError:
            return "firmware";
        case RunResult::FileError:
            return "file";
        case RunResult::ChipTypeMissing:
            return "chip-type";
        case RunResult::BoardBusy:
            return "board-busy";
        case RunResult::NoBoard:
            return "no-board";
        case RunResult::IdCheck:
            return "id-check";
        case RunResult::Erase:
            return "erase";
        case RunResult::BlankCheck:
            return "blank-check";
        case RunResult::Program:
            return "program";
        case RunResult::Verify:
            return "verify";
        case RunResult::Unsupported:
            return "unsupported";
        case RunResult::Failed:
            return "failed";
    }
    return "failed";
}

std::string_view BoardOperationName(BoardOperation operation) {
    switch (operation) {
        case BoardOperation::Download:
            return "download";
        case BoardOperation::Verify:
            return "verify";
        case BoardOperation::Read:
            return "read";
        case BoardOperation::BlankCheck:
            return "blank-check";
        case BoardOperation::Erase:
            return "erase";
    }
    return "download";
}

void RunDetails::NoteRom(const RomImage& rom) {
    romKind = rom.VersionText();
    imageLength = rom.ImageLength();
    agentIndex = rom.AgentIndex();
    agentForced = rom.AgentForced();
    keyPassed = rom.KeyPassed();
    checksum = rom.Checksum();
    sha256 = rom.FileSha256();
}

}  // namespace qdm
