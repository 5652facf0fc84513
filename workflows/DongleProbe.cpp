#include "workflows/DongleProbe.h"

#include "protocol/Usbfunctions_old.h"
#include "state/Mainprocess.h"
#include "workflows/boards/ClientBoard.h"

namespace qdm {

std::string_view DongleFirmwareName(DongleFirmware firmware) {
    switch (firmware) {
        case DongleFirmware::Boot:
            return "boot";
        case DongleFirmware::Writer:
            return "writer";
        case DongleFirmware::McuRom:
            return "MCU-ROM";
        case DongleFirmware::Unknown:
            break;
    }
    return "unknown";
}

DongleProbe ProbeDongle() {
    DongleProbe probe;
    const bool present = CheckDonglePresence();
    probe.access = LastAccessProblem();
    if (!present) return probe;
    const ProgramState& state = State();
    probe.vid = state.DetectedVID;
    probe.pid = state.DetectedPID;
    probe.writerIds = probe.vid == ExpectedVID && probe.pid == ExpectedPID;
    if (!probe.writerIds) return probe;

    // The identity first: under the writer firmware no other firmware's command is sent.
    const bool writer = QueryDongleIdentity();
    if (std::array<std::uint8_t, 4> version{}; QueryHardwareVersion(version))
        probe.hardwareVersion = version;
    if (writer) {
        probe.firmware = DongleFirmware::Writer;
        probe.boardKind = DetectClientBoard();
        const auto board = boards::MakeClientBoard(*probe.boardKind);
        probe.board = board ? std::string(board->Name()) : std::string(boards::kNoBoardName);
    } else if (probe.hardwareVersion) {
        probe.firmware = McuRomAcknowledges() ? DongleFirmware::McuRom : DongleFirmware::Boot;
    }
    return probe;
}

}  // namespace qdm
