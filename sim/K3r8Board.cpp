#include "sim/K3r8Board.h"

#include <algorithm>

#include "sim/BoardReplies.h"

namespace qdm::sim {

namespace {
constexpr std::uint8_t kSelect = 0xAA;
constexpr std::uint8_t kRelease = 0x55;
constexpr std::uint8_t kLinesUp = 0xFF;
}  // namespace

// Four parts of the same family, told apart by their last ID byte so interleaving shows.
K3r8Board::K3r8Board()
    : chips_{SerialFlash({0xEF, 0x40, 0x15}), SerialFlash({0xEF, 0x40, 0x16}),
             SerialFlash({0xEF, 0x40, 0x17}), SerialFlash({0xEF, 0x40, 0x18})} {}

void K3r8Board::ResetInterface() {
    selected_ = false;
    readPosition_ = 0;
    for (SerialFlash& chip : chips_)
        chip.PowerCycle();
}

void K3r8Board::Execute(const WriterCommand& command, std::span<std::uint8_t> reply) {
    using namespace writer_op;
    switch (command.Opcode()) {
        case R8Select:
            if (command.Arg(1) == kSelect) selected_ = true;
            if (command.Arg(1) == kRelease) selected_ = false;
            return;
        case IoSetupC:
            if (command.Arg(1) == kLinesUp && Busy()) {
                selected_ = false;
                RefuseList();
            }
            return;
        case R8Query:
        case R8Write:
        case R8SetAddress:
        case R8Read:
        case R8ProgramPage:
            if (selected_) ExecuteFlash(command, reply);
            return;
        default:
            return;
    }
}

void K3r8Board::ExecuteFlash(const WriterCommand& command, std::span<std::uint8_t> reply) {
    using namespace writer_op;
    switch (command.Opcode()) {
        case R8Query:
            if (command.Arg(1) == 0x01) {
                for (std::size_t c = 0; c < kChipCount; ++c)
                    for (std::size_t k = 0; k < 3; ++k)
                        reply[4 * k + c] = chips_[c].ReadId()[k];
            } else if (command.Arg(1) == 0x03) {
                reply[0] = kFlashStatusIdle;
            } else {
                std::uint8_t blank = 0;
                for (std::size_t c = 0; c < kChipCount; ++c)
                    if (chips_[c].IsBlockBlank(command.Arg(2)))
                        blank = static_cast<std::uint8_t>(blank | (0x10U << c));
                reply[0] = blank;
            }
            return;
        case R8Write:
            if (command.Arg(1) == 0x55) {
                for (SerialFlash& chip : chips_)
                    chip.WriteEnable();
            } else {
                std::uint8_t failed = 0;
                for (std::size_t c = 0; c < kChipCount; ++c)
                    if (!chips_[c].EraseBlocks(command.Arg(2), command.Arg(3)))
                        failed = static_cast<std::uint8_t>(failed | (1U << c));
                reply[0] = 0x00;
                reply[1] = failed;
            }
            return;
        case R8SetAddress:
            readPosition_ = SerialFlash::Wrap(command.Address());
            return;
        case R8Read: {
            const std::size_t perChip = reply.size() / kChipCount;
            // Straight runs of the four arrays up to the wrap at the chip's end, interleaved
            // through plain pointers: read-backs go through here for every byte of an image.
            std::size_t done = 0;
            std::uint32_t at = readPosition_;
            while (done < perChip) {
                const std::size_t n =
                    std::min<std::size_t>(perChip - done, SerialFlash::kSize - at);
                const std::uint8_t* const chip1 = chips_[0].Contents().data() + at;
                const std::uint8_t* const chip2 = chips_[1].Contents().data() + at;
                const std::uint8_t* const chip3 = chips_[2].Contents().data() + at;
                const std::uint8_t* const chip4 = chips_[3].Contents().data() + at;
                std::uint8_t* out = reply.data() + kChipCount * done;
                for (std::size_t i = 0; i < n; ++i, out += kChipCount) {
                    out[0] = chip1[i];
                    out[1] = chip2[i];
                    out[2] = chip3[i];
                    out[3] = chip4[i];
                }
                done += n;
                at = 0;
            }
            readPosition_ = SerialFlash::Wrap(readPosition_ + static_cast<std::uint32_t>(perChip));
            return;
        }
        case R8ProgramPage:
            for (SerialFlash& chip : chips_)
                chip.ProgramPage(command.Address(), command.PageData());
            return;
        default:
            return;
    }
}

}  // namespace qdm::sim
