#include "workflows/DemoboardReset.h"

#include <exception>
#include <memory>

#include "protocol/Usbfunctions.h"
#include "state/Mainprocess.h"
#include "workflows/DongleCheck.h"
#include "workflows/boards/ClientBoard.h"

namespace qdm {

namespace {
void ResetBoard(OperatorPanel& panel) {
    ProgramState& state = State();
    state.ClientBoardKind = DetectClientBoard();
    const std::unique_ptr<boards::ClientBoard> board =
        boards::MakeClientBoard(state.ClientBoardKind);
    // A board the run does not hold is left alone without a word. The line keeps whatever
    // colour it has: blue after a download.
    if (board) {
        board->Reset(panel);
    } else {
        panel.SetStatusText(boards::kNoBoardText);
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
