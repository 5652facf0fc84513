#include "workflows/boards/Demoboard.h"

#include <array>
#include <chrono>

#include "protocol/Usbfunctions.h"

namespace qdm::boards {

namespace {
constexpr std::chrono::milliseconds kSettle{1000};
}  // namespace

bool Demoboard::Supports(Stage stage) const {
    switch (stage) {
        case Stage::IdCheck:
        case Stage::Erase:
        case Stage::Program:
        case Stage::VerifyData:
            return true;
        case Stage::OptionRead:
        case Stage::BlankCheck:
        case Stage::OptionPages:
        case Stage::VerifyOptionPage:
        case Stage::ReadBack:
            break;
    }
    return false;
}

// The results of the run control are not looked at; a board that did not take the hold shows it
// in the stages that follow.
void Demoboard::Hold(OperatorPanel& panel) {
    DemoRunControl(0);
    panel.Wait(kSettle);
}

void Demoboard::Release(OperatorPanel& panel) {
    DemoEnable(0);
    panel.Wait(kSettle);
    DemoRunControl(1);
}

void Demoboard::Reset(OperatorPanel& panel) {
    // The line keeps whatever colour it has: blue after a download.
    panel.SetStatusText("Demoboard resetting!!");
    panel.ProcessMessages();
    Release(panel);
    panel.SetStatusText("Demoboard reset OK!!");
}

bool Demoboard::SwitchOn() {
    return DemoEnable(1);
}

void Demoboard::SwitchOff() {
    DemoEnable(0);
}

bool Demoboard::CheckId() {
    std::array<std::uint8_t, 3> id{};
    return DemoReadId(id);
}

bool Demoboard::Erase() {
    return DemoChipErase();
}

bool Demoboard::Program(const BoardImage& image) {
    return DemoProgramImage(image.bytes, image.units);
}

StageResult Demoboard::VerifyData(OperatorPanel& panel, const BoardImage& image) {
    return VerifyByOneBitCount(panel, image, &DemoBitCount);
}

}  // namespace qdm::boards
