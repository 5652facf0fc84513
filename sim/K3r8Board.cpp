#include "sim/K3r8Board.h"

#include <algorithm>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define QDM_HAVE_SSE2 1
#else
#define QDM_HAVE_SSE2 0
#endif

#include "sim/BoardReplies.h"

namespace qdm::sim {

namespace {
constexpr std::uint8_t kSelect = 0xAA;
constexpr std::uint8_t kRelease = 0x55;
constexpr std::uint8_t kLinesUp = 0xFF;
// An instruction and its 24-bit address on the serial interface.
constexpr std::size_t kInstruction = 4;
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
            // The four chips share the clock: each instruction takes the time of one.
            if (command.Arg(1) == 0x01) {
                Meter().SpendSerial(kInstruction);
                for (std::size_t c = 0; c < kChipCount; ++c)
                    for (std::size_t k = 0; k < 3; ++k)
                        reply[4 * k + c] = chips_[c].ReadId()[k];
            } else if (command.Arg(1) == 0x03) {
                Meter().SpendSerial(2);
                reply[0] = kFlashStatusIdle;
            } else {
                Meter().SpendSerial(kInstruction + SerialFlash::kBlockSize);
                std::uint8_t blank = 0;
                for (std::size_t c = 0; c < kChipCount; ++c)
                    if (chips_[c].IsBlockBlank(command.Arg(2)))
                        blank = static_cast<std::uint8_t>(blank | (0x10U << c));
                reply[0] = blank;
            }
            return;
        case R8Write:
            if (command.Arg(1) == 0x55) {
                Meter().SpendSerial(1);
                for (SerialFlash& chip : chips_)
                    chip.WriteEnable();
            } else {
                const std::uint32_t blocks =
                    std::min<std::uint32_t>(command.Arg(3), SerialFlash::kBlockCount);
                Meter().SpendSerial(kInstruction);
                Meter().Spend(Meter().Timing().blockErase * blocks);
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
            Meter().SpendSerial(kInstruction + perChip);
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
                std::size_t i = 0;
#if QDM_HAVE_SSE2
                // Sixteen positions at a time: two rounds of interleaving put the four chips'
                // bytes side by side.
                for (; i + 16 <= n; i += 16, out += 16 * kChipCount) {
                    const auto load = [i](const std::uint8_t* chip) {
                        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(chip + i));
                    };
                    const __m128i a = load(chip1);
                    const __m128i b = load(chip2);
                    const __m128i c = load(chip3);
                    const __m128i d = load(chip4);
                    const __m128i abLow = _mm_unpacklo_epi8(a, b);  // a0 b0 a1 b1 .. a7 b7
                    const __m128i abHigh = _mm_unpackhi_epi8(a, b);
                    const __m128i cdLow = _mm_unpacklo_epi8(c, d);
                    const __m128i cdHigh = _mm_unpackhi_epi8(c, d);
                    const auto store = [out](int k, __m128i v) {
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k), v);
                    };
                    store(0, _mm_unpacklo_epi16(abLow, cdLow));  // a0 b0 c0 d0 .. d3
                    store(1, _mm_unpackhi_epi16(abLow, cdLow));
                    store(2, _mm_unpacklo_epi16(abHigh, cdHigh));
                    store(3, _mm_unpackhi_epi16(abHigh, cdHigh));
                }
#endif
                for (; i < n; ++i, out += kChipCount) {
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
        case R8ProgramPage: {
            bool programmed = false;
            for (SerialFlash& chip : chips_)
                programmed = chip.ProgramPage(command.Address(), command.PageData()) || programmed;
            Meter().SpendSerial(kInstruction + kPageDataSize);
            if (programmed) Meter().Spend(Meter().Timing().pageProgram);
            return;
        }
        default:
            return;
    }
}

}  // namespace qdm::sim
