// K3.r8 board operations: four serial flash chips that are erased, programmed and read together.

#include <algorithm>
#include <string>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define QDM_HAVE_SSE2 1
#else
#define QDM_HAVE_SSE2 0
#endif

#include "protocol/BoardSupport.h"
#include "protocol/Usbfunctions.h"

namespace qdm {

namespace {

constexpr std::size_t kChips = 4;
constexpr std::uint8_t kReadPackets = 0x3F;  // 33 3F: 512 reply bytes, 128 per chip
constexpr std::size_t kReadReply = 512;
constexpr std::size_t kReadsPerBackList = 8;
constexpr std::size_t kReadsPerBlock = 4;
constexpr std::uint32_t kBackListsPerUnit = 16;
constexpr std::uint8_t kAllBlank = 0xF0;

constexpr std::string_view kErasing = "OTP Writer K3.r8 Serial Flash Erasing...";
constexpr std::string_view kProgramming3 = "OTP Writer K3.r8 Serial Flash Programming...";
constexpr std::string_view kProgramming2 = "OTP Writer K3.r8 Serial Flash Programming..";
constexpr std::string_view kReading3 = "OTP Writer K3.r8 Serial Flash Reading...";
constexpr std::string_view kReading2 = "OTP Writer K3.r8 Serial Flash Reading..";

using ChipBuffers = std::array<std::span<std::uint8_t>, kChips>;

bool AllHold(const ChipBuffers& chips, std::size_t size) {
    return std::all_of(chips.begin(), chips.end(),
                       [size](auto chip) { return chip.size() >= size; });
}

// The reply interleaves the chips byte by byte; byte p of chip c lands at `at` + p.
void SplitChips(std::span<const std::uint8_t> reply, const ChipBuffers& chips, std::size_t at) {
    // Plain pointers held in locals: a byte store may alias the spans, which would otherwise be
    // reloaded for every byte of a read-back.
    std::uint8_t* const chip1 = chips[0].data() + at;
    std::uint8_t* const chip2 = chips[1].data() + at;
    std::uint8_t* const chip3 = chips[2].data() + at;
    std::uint8_t* const chip4 = chips[3].data() + at;
    const std::uint8_t* in = reply.data();
    const std::size_t positions = reply.size() / kChips;
    std::size_t p = 0;
#if QDM_HAVE_SSE2
    // Every image byte of a verify comes through here: sixteen positions at a time, three rounds
    // of byte interleaving turn four registers in position order into four in chip order.
    for (; p + 16 <= positions; p += 16, in += 16 * kChips) {
        const auto load = [in](int k) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * k));
        };
        const __m128i r0 = load(0);  // a0 b0 c0 d0 a1 .. d3
        const __m128i r1 = load(1);
        const __m128i r2 = load(2);
        const __m128i r3 = load(3);
        const __m128i u0 = _mm_unpacklo_epi8(r0, r1);  // a0 a4 b0 b4 .. d1 d5
        const __m128i u1 = _mm_unpackhi_epi8(r0, r1);  // a2 a6 b2 b6 .. d3 d7
        const __m128i u2 = _mm_unpacklo_epi8(r2, r3);
        const __m128i u3 = _mm_unpackhi_epi8(r2, r3);
        const __m128i v0 = _mm_unpacklo_epi8(u0, u1);  // a0 a2 a4 a6 b0 .. d6
        const __m128i v1 = _mm_unpackhi_epi8(u0, u1);  // a1 a3 a5 a7 b1 .. d7
        const __m128i v2 = _mm_unpacklo_epi8(u2, u3);
        const __m128i v3 = _mm_unpackhi_epi8(u2, u3);
        const __m128i w0 = _mm_unpacklo_epi8(v0, v1);  // a0 .. a7 b0 .. b7
        const __m128i w1 = _mm_unpackhi_epi8(v0, v1);  // c0 .. c7 d0 .. d7
        const __m128i w2 = _mm_unpacklo_epi8(v2, v3);  // a8 .. a15 b8 .. b15
        const __m128i w3 = _mm_unpackhi_epi8(v2, v3);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(chip1 + p), _mm_unpacklo_epi64(w0, w2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(chip2 + p), _mm_unpackhi_epi64(w0, w2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(chip3 + p), _mm_unpacklo_epi64(w1, w3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(chip4 + p), _mm_unpackhi_epi64(w1, w3));
    }
#endif
    for (; p < positions; ++p, in += kChips) {
        chip1[p] = in[0];
        chip2[p] = in[1];
        chip3[p] = in[2];
        chip4[p] = in[3];
    }
}

void WriteChipDumps(const ChipBuffers& chips, std::size_t length, std::string_view stem) {
    std::string name(stem);
    name.push_back('1');
    for (std::size_t c = 0; c < kChips; ++c, ++name.back())
        board::WriteDumpFile(chips[c].first(length), name);
}

}  // namespace

bool R8Enable(std::uint8_t on) {
    CommandList list;
    if (on == 1) {
        list.OP_R8_SELECT(0xAA);
        list.OP_IO_SETUP_A(0x3B);
        list.OP_IO_SETUP_B(0x00);
        list.OP_IO_SETUP_C(0xFF);
    } else {
        list.OP_R8_SELECT(0x55);
        list.OP_IO_SETUP_A(0x08);
        list.OP_IO_SETUP_B(0x00);
        list.OP_IO_SETUP_C(0x00);
    }
    return board::ExchangeAcknowledged(list);
}

bool R8ReadId(std::span<std::uint8_t, 12> id) {
    CommandList list;
    list.OP_R8_SELECT(0xAA);
    list.OP_IO_SETUP_A(0x3B);
    list.OP_IO_SETUP_B(0x00);
    list.OP_IO_SETUP_C(0xFF);
    list.OP_R8_READ_ID();
    list.OP_END_GROUP();
    std::array<std::uint8_t, 12> reply{};
    if (Exchange(list, reply)) {
        for (std::size_t c = 0; c < kChips; ++c)
            for (std::size_t k = 0; k < 3; ++k)
                id[3 * c + k] = reply[kChips * k + c];
    }
    return true;
}

bool R8Erase(std::uint8_t x, std::uint8_t y) {
    CommandList list;
    list.OP_R8_ERASE(x, y);
    list.OP_END_GROUP();
    return board::SendErase(list, kErasing);
}

bool R8BlankCheck(std::uint32_t first, std::uint32_t last, std::uint8_t& flags) {
    return board::WalkBlankCheck(
        first, last, [](CommandList& list, std::uint8_t b) { list.OP_R8_BLANK_CHECK(b); },
        [&flags](std::uint8_t r) {
            flags = static_cast<std::uint8_t>(r >> 4);
            return r == kAllBlank;
        });
}

bool R8ProgramImage(std::span<const std::uint8_t> image, std::uint32_t units) {
    if (!board::HoldsUnits(image.size(), units)) return false;
    const bool programmed =
        board::ProgramImageBatches(PageBoard::K3r8, image, units, kProgramming3, kProgramming2);
    ResetDonglePort();
    return programmed;
}

bool R8ProgramPage(std::span<const std::uint8_t, kPageSize> page, std::uint32_t pageIndex) {
    return board::ProgramOnePage(PageBoard::K3r8, page, pageIndex, kProgramming2);
}

bool R8ReadBack(std::span<std::uint8_t> chip1, std::span<std::uint8_t> chip2,
                std::span<std::uint8_t> chip3, std::uint32_t units, std::span<std::uint8_t> chip4) {
    const ChipBuffers chips{chip1, chip2, chip3, chip4};
    if (!board::HoldsUnits(std::min({chip1.size(), chip2.size(), chip3.size(), chip4.size()}),
                           units))
        return false;
    CommandList list(board::kLongListCapacity);
    std::array<std::uint8_t, kReadsPerBackList * kReadReply> reply{};
    const std::uint64_t lists = std::uint64_t{units} * kBackListsPerUnit;
    std::size_t at = 0;
    bool read = true;
    for (std::uint64_t n = 0; n < lists && read; ++n) {
        // The dongle keeps its read position, so only the first list sets it.
        if (n == 0) list.OP_R8_SET_ADDRESS(0);
        for (std::size_t r = 0; r < kReadsPerBackList; ++r) {
            list.OP_R8_READ(kReadPackets);
            list.OP_END_GROUP();
        }
        // Once a reply is lost the read position is unknown: what follows cannot be placed.
        read = Exchange(list, reply);
        SplitChips(reply, chips, at);
        at += reply.size() / kChips;
        board::AlternateProgressText(kReading3, kReading2);
        State().ProgressValue = board::ProgressOf(n, lists);
        PumpMessages();
    }
    // Nothing of what was not read may pass for data.
    const std::size_t length = std::size_t{units} * kImageUnit;
    for (const auto chip : chips)
        std::fill(chip.begin() + static_cast<std::ptrdiff_t>(at),
                  chip.begin() + static_cast<std::ptrdiff_t>(length), std::uint8_t{0});
    ResetDonglePort();
    WriteChipDumps(chips, length, "RDBBK.VF");
    return read;
}

bool R8ReadBlock(std::span<std::uint8_t> chip1, std::span<std::uint8_t> chip2,
                 std::span<std::uint8_t> chip3, std::uint32_t blockIndex,
                 std::span<std::uint8_t> chip4) {
    const ChipBuffers chips{chip1, chip2, chip3, chip4};
    if (!AllHold(chips, kBlockSize)) return false;
    State().ProgressText = kReading2;
    CommandList list;
    list.OP_R8_SET_ADDRESS(blockIndex * static_cast<std::uint32_t>(kBlockSize));
    for (std::size_t r = 0; r < kReadsPerBlock; ++r) {
        list.OP_R8_READ(kReadPackets);
        list.OP_END_GROUP();
    }
    std::array<std::uint8_t, kReadsPerBlock * kReadReply> reply{};
    // A block whose reply never came holds no data: its zeros would pass for option bytes.
    const bool read = Exchange(list, reply);
    SplitChips(reply, chips, 0);
    ResetDonglePort();
    WriteChipDumps(chips, kBlockSize, "RDBBK_512bytes.BK");
    return read;
}

}  // namespace qdm
