#include "sim/K3r1Board.h"

#include "sim/BoardReplies.h"

namespace qdm::sim {

namespace {
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
                for (std::size_t k = 0; k < 3; ++k)
                    reply[k] = chip_.ReadId()[k];
            } else if (command.Arg(1) == 0x03) {
                reply[0] = kFlashStatusIdle;
            } else {
                reply[0] = chip_.IsBlockBlank(command.Arg(2)) ? kBlank : kNotBlank;
            }
            return;
        case R1Write:
            if (command.Arg(1) == 0x55) {
                chip_.WriteEnable();
            } else {
                reply[0] = 0x00;
                reply[1] = chip_.EraseBlocks(command.Arg(2), command.Arg(3)) ? 0x00 : 0x01;
            }
            return;
        case R1SetAddress:
            readPosition_ = SerialFlash::Wrap(command.Address());
            return;
        case R1Read:
            chip_.Read(readPosition_, reply);
            readPosition_ =
                SerialFlash::Wrap(readPosition_ + static_cast<std::uint32_t>(reply.size()));
            return;
        case R1ProgramPage:
            chip_.ProgramPage(command.Address(), command.PageData());
            return;
        case R1BitCount:
            StoreBe24(reply, chip_.CountOnes(command.Address()));
            return;
        default:
            return;
    }
}

}  // namespace qdm::sim
