#include "sim/Demoboard.h"

#include "sim/BoardReplies.h"

namespace qdm::sim {

namespace {
constexpr std::uint8_t kAccessOn = 0xAA;
constexpr std::uint8_t kAccessOff = 0x55;
constexpr std::uint8_t kHold = 0xA5;
constexpr std::uint8_t kRelease = 0x5A;
constexpr std::uint8_t kPowerOff = 0x20;
constexpr std::uint8_t kPowerSequence[] = {0x38, 0x18, 0x58};
// An instruction and its 24-bit address on the serial interface.
constexpr std::size_t kInstruction = 4;
}  // namespace

// Hold/release and power belong to the board, not to the dongle's interface logic, so only the
// access switch and the chip's latch go idle here.
void Demoboard::ResetInterface() {
    flashAccess_ = false;
    powerSequence_ = 0;
    chip_.PowerCycle();
}

void Demoboard::PowerCycle() {
    ResetInterface();
    powered_ = false;
    held_ = false;
    erasing_ = false;
}

void Demoboard::LineWrite(std::uint8_t value) {
    if (value == kPowerOff) {
        powered_ = false;
        flashAccess_ = false;
        powerSequence_ = 0;
        return;
    }
    if (value == kPowerSequence[powerSequence_]) {
        ++powerSequence_;
    } else {
        powerSequence_ = value == kPowerSequence[0] ? 1 : 0;
    }
    if (powerSequence_ == 3) {
        powerSequence_ = 0;
        if (Busy())
            RefuseList();
        else
            powered_ = true;
    }
}

void Demoboard::Execute(const WriterCommand& command, std::span<std::uint8_t> reply) {
    using namespace writer_op;
    switch (command.Opcode()) {
        case IoWrite:
            LineWrite(command.Arg(1));
            return;
        case DemoMode:
            switch (command.Arg(1)) {
                case kAccessOn:
                    flashAccess_ = true;
                    break;
                case kAccessOff:
                    flashAccess_ = false;
                    break;
                case kHold:
                    held_ = true;
                    break;
                case kRelease:
                    held_ = false;
                    break;
                default:
                    break;
            }
            return;
        case DemoQuery:
        case DemoWrite:
        case DemoProgramPage:
        case DemoBitCount:
            if (flashAccess_) ExecuteFlash(command, reply);
            return;
        default:
            return;
    }
}

std::uint8_t Demoboard::Status() const {
    if (erasing_) return kStatusBusy | kStatusWriteEnabled;
    return chip_.WriteEnabled() ? kStatusWriteEnabled : kFlashStatusIdle;
}

void Demoboard::ExecuteFlash(const WriterCommand& command, std::span<std::uint8_t> reply) {
    using namespace writer_op;
    switch (command.Opcode()) {
        case DemoQuery:
            if (command.Arg(1) == 0x01) {
                Meter().SpendSerial(kInstruction);
                for (std::size_t k = 0; k < 3; ++k)
                    reply[k] = chip_.ReadId()[k];
            } else if (command.Arg(1) == 0x03) {
                Meter().SpendSerial(2);
                reply[0] = Status();
            } else {
                Meter().SpendSerial(2);
                ++statusPolls_;
                // The erase is over once its time has passed and its busy polls are used up.
                if (erasing_ && pollsLeft_) {
                    if (*pollsLeft_ > 0)
                        --*pollsLeft_;
                    else if (Meter().Now() >= eraseEnds_)
                        erasing_ = false;
                }
                reply[0] = Status();
            }
            return;
        case DemoWrite:
            if (erasing_) return;  // a busy part ignores everything but status reads
            if (command.Arg(1) == 0x55) {
                Meter().SpendSerial(1);
                chip_.WriteEnable();
            } else if (chip_.WriteEnabled()) {
                Meter().SpendSerial(1);
                // A chip that refuses its erase never reports it done: the status, all the host
                // looks at, keeps its busy bit.
                const bool erased = chip_.EraseChip();
                erasing_ = true;
                pollsLeft_ = erased ? eraseBusyPolls_ : std::nullopt;
                eraseEnds_ = Meter().Now() + Meter().Timing().chipErase;
                Meter().Background(Meter().Timing().chipErase);
            }
            return;
        case DemoProgramPage:
            Meter().SpendSerial(kInstruction + kPageDataSize);
            if (!erasing_ && chip_.ProgramPage(command.Address(), command.PageData()))
                Meter().Spend(Meter().Timing().pageProgram);
            return;
        case DemoBitCount:
            // The dongle reads the region to count it.
            Meter().SpendSerial(kInstruction + SerialFlash::kCountRegion);
            StoreBe24(reply, chip_.CountOnes(command.Address()));
            return;
        default:
            return;
    }
}

}  // namespace qdm::sim
