#include <array>
#include <cstdio>
#include <ostream>
#include <string>

#include "app/Mainprocess.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "protocol/Usbfunctions.h"
#include "session/Session.h"
#include "usb/FirmwareLoader.h"

namespace qdm::cli {

namespace {
std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(b));
        if (!text.empty()) text += ' ';
        text += two;
    }
    return text;
}

const char* BoardName(std::uint8_t kind) {
    switch (kind) {
        case kBoardK3r8:
            return "OTP Writer K3.r8";
        case kBoardK3r1:
            return "OTP Writer K3.r1";
        case kBoardDemo:
            return "Speech OTP Demoboard";
        default:
            return "None / Error";
    }
}
}  // namespace

int RunDetect(Session& session, const std::vector<std::string>& arguments, std::ostream& out) {
    if (!arguments.empty()) {
        out << "detect takes no arguments\n";
        return kExitUsage;
    }
    ProgramState& state = State();
    if (!CheckDonglePresence()) {
        out << "Dongle: none found\n";
        return kExitNoDongle;
    }
    out << "Dongle: present, VID " << state.DetectedVID << " PID " << state.DetectedPID << "\n";
    if (state.DetectedVID != ExpectedVID || state.DetectedPID != ExpectedPID) {
        out << "Dongle: not a writer dongle (expected VID " << ExpectedVID << " PID " << ExpectedPID
            << ")\n";
        return kExitDongle;
    }

    std::array<std::uint8_t, 4> version{};
    if (!QueryHardwareVersion(version)) {
        out << "Hardware version: no answer\n";
        return kExitDongle;
    }
    out << "Hardware version: " << HexBytes(version) << "\n";

    bool writer = QueryDongleIdentity();
    if (writer) {
        out << "Firmware: writer firmware already running\n";
    } else {
        if (version[0] != 5 || version[1] != 1 || version[3] != 0) {
            out << "Firmware: not loaded, the hardware version is not 05 01 xx 00\n";
            return kExitDongle;
        }
        std::string where;
        if (!session.LoadFirmwareText(where)) {
            out << "Firmware: cannot read " << where << "\n";
            return kExitDongle;
        }
        if (!DownloadFirmware(state.FirmwareText)) {
            out << "Firmware: download of " << where << " failed\n";
            return kExitDongle;
        }
        state.FirmwareLoaded = 1;
        out << "Firmware: downloaded " << where << "\n";
        writer = QueryDongleIdentity();
    }
    if (!writer) {
        out << "Identity: the dongle does not answer as a writer dongle (MCU-ROM firmware?)\n";
        return kExitDongle;
    }
    out << "Identity: writer firmware\n";

    const std::uint8_t board = DetectClientBoard();
    state.ClientBoardKind = board;
    out << "Client board: " << BoardName(board) << "\n";
    return board == kBoardNone ? kExitNoBoard : kExitSuccess;
}

}  // namespace qdm::cli
