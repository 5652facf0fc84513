#include "workflows/DemoboardReset.h"

#include <chrono>
#include <exception>

#include "state/Mainprocess.h"
#include "protocol/Usbfunctions.h"
#include "workflows/DongleCheck.h"

namespace qdm {

namespace {
void ResetBoard(OperatorPanel& panel) {
    ProgramState& state = State();
    state.ClientBoardKind = DetectClientBoard();
    // The line keeps whatever colour it has: blue after a download.
    switch (state.ClientBoardKind) {
        case kBoardK3r8:
        case kBoardK3r1:
            break;
        case kBoardDemo:
            panel.SetStatusText("Demoboard resetting!!");
            panel.ProcessMessages();
            DemoEnable(0);
            panel.Wait(std::chrono::milliseconds(1000));
            DemoRunControl(1);
            panel.SetStatusText("Demoboard reset OK!!");
            break;
        default:
            panel.SetStatusText("No Avaliable client board found!!");
            break;
    }
}
}  // namespace

void Btn_DBRstClick(OperatorPanel& panel) {
    if (OperationInProgress()) return;
    ProgramState& state = State();
    if (!ConfirmDongle()) {
        panel.ShowMessage("USB Not Found!!");
        state.OperationBusy = 0;
        return;
    }
    panel.SetOperationControls(false);
    state.OperationBusy = 1;
    try {
        ResetBoard(panel);
    } catch (const std::exception& e) {
        // The controls must come back whatever went wrong, or no run could start again.
        ShowStatus(panel, StatusColour::Red, e.what());
    }
    panel.SetOperationControls(true);
    state.OperationBusy = 0;
}

}  // namespace qdm
