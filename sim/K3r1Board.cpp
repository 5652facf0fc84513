#include "sim/K3r1Board.h"

#include <algorithm>

#include "sim/BoardReplies.h"

namespace qdm::sim {

namespace {
// An instruction and its 24-bit address on the serial interface.
constexpr std::size_t kInstruction = 4;
constexpr std::uint8_t kBusyLineSet = 0xFF;
constexpr std::uint8_t kBusyLineClear = 0xFE;
}  // namespace

void K3r1Board::ResetInterface() {
    selected_ = false;
    readPosition_ = 0;
    chip_.PowerCycle();
}

void K3r1Board::Execute(const WriterCommand& command, std::span<std::uint8_t> reply) {
    using namespace writer_op;
    switch (command.Opcode()) {
        case IoReadBusy:
            reply[0] = Busy() ? kBusyLineSet : kBusyLineClear;
            return;
        case R1Select:
            if (command.Arg(1) == 0xAA) selected_ = true;
            if (command.Arg(1) == 0x55) selected_ = false;
            return;
        case R1Query:
        case R1Write:
        case R1SetAddress:
        case R1Read:
        case R1ProgramPage:
        case R1BitCount:
            if (selected_) ExecuteFlash(command, reply);
            return;
        default:
            return;
    }
}

void K3r1Board::ExecuteFlash(const WriterCommand& command, std::span<std::uint8_t> reply) {
    using namespace writer_op;
    switch (command.Opcode()) {
        case R1Query:
            if (command.Arg(1) == 0x01) {
                Meter().SpendSerial(kInstruction);
                for (std::size_t k = 0; k < 3; ++k)
                    reply[k] = chip_.ReadId()[k];
            } else if (command.Arg(1) == 0x03) {
                Meter().SpendSerial(2);
                reply[0] = kFlashStatusIdle;
            } else {
                Meter().SpendSerial(kInstruction + SerialFlash::kBlockSize);
                reply[0] = chip_.IsBlockBlank(command.Arg(2)) ? kBlank : kNotBlank;
            }
            return;
        case R1Write:
            if (command.Arg(1) == 0x55) {
                Meter().SpendSerial(1);
                chip_.WriteEnable();
            } else {
                Meter().SpendSerial(kInstruction);
                Meter().Spend(Meter().Timing().blockErase *
                              std::min<std::uint32_t>(command.Arg(3), SerialFlash::kBlockCount));
                reply[0] = 0x00;
                reply[1] = chip_.EraseBlocks(command.Arg(2), command.Arg(3)) ? 0x00 : 0x01;
            }
            return;
        case R1SetAddress:
            readPosition_ = SerialFlash::Wrap(command.Address());
            return;
        case R1Read:
            Meter().SpendSerial(kInstruction + reply.size());
            chip_.Read(readPosition_, reply);
            readPosition_ =
                SerialFlash::Wrap(readPosition_ + static_cast<std::uint32_t>(reply.size()));
            return;
        case R1ProgramPage:
            Meter().SpendSerial(kInstruction + kPageDataSize);
            if (chip_.ProgramPage(command.Address(), command.PageData()))
                Meter().Spend(Meter().Timing().pageProgram);
            return;
        case R1BitCount:
            // The dongle reads the region to count it.
            Meter().SpendSerial(kInstruction + SerialFlash::kCountRegion);
            StoreBe24(reply, chip_.CountOnes(command.Address()));
            return;
        default:
            return;
    }
}

}  // namespace qdm::sim
