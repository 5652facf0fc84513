#include "workflows/RunOutcome.h"

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
        case RunResult::Failed:
            return "failed";
    }
    return "failed";
}

void RunDetails::NoteRom(const RomImage& rom) {
    romKind = rom.VersionText();
    imageLength = rom.ImageLength();
    agentIndex = rom.AgentIndex();
    agentForced = rom.AgentForced();
    keyPassed = rom.KeyPassed();
    checksum = rom.Checksum();
}

}  // namespace qdm
