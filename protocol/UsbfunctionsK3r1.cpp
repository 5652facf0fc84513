// K3.r1 board operations: one serial flash chip and a busy line. Verification counts one bits in
// the dongle instead of reading the image back.

#include <algorithm>

#include "protocol/BoardSupport.h"
#include "protocol/Usbfunctions.h"

namespace qdm {

namespace {

constexpr std::uint8_t kBlank = 0xA5;
constexpr std::uint8_t kBusyBit = 0x01;
constexpr std::uint8_t kReadPackets = 0xFF;  // 53 FF: 512 reply bytes

constexpr std::string_view kErasing = "OTP Writer K3.r1 Serial Flash Erasing...";
constexpr std::string_view kProgramming3 = "OTP Writer K3.r1 Serial Flash Programming...";
constexpr std::string_view kProgramming2 = "OTP Writer K3.r1 Serial Flash Programming..";
constexpr std::string_view kReading2 = "OTP Writer K3.r1 Serial Flash Reading..";
constexpr std::string_view kChecking2 = "OTP Writer K3.r1 Serial Flash Checking..";

}  // namespace

bool R1BusyCheck() {
    CommandList list;
    list.OP_IO_SETUP_B(0x00);
    list.OP_IO_WRITE(0xFF);
    list.OP_IO_READ_BUSY();
    list.OP_END_GROUP();
    std::array<std::uint8_t, 1> reply{};
    // A board that did not answer cannot be shown idle; switching it on would be a guess.
    const bool answered = Exchange(list, reply);
    ResetDonglePort();
    return answered && (reply[0] & kBusyBit) == 0;
}

bool R1Enable(std::uint8_t on) {
    if (on == 1 && !R1BusyCheck()) return false;
    CommandList list;
    if (on == 1) {
        list.OP_R1_SELECT(0xAA);
        list.OP_IO_SETUP_A(0x00);
        list.OP_IO_SETUP_B(0xF2);
        list.OP_IO_SETUP_C(0xFF);
    } else {
        list.OP_R1_SELECT(0x55);
        list.OP_IO_SETUP_A(0x00);
        list.OP_IO_SETUP_B(0x02);
        list.OP_IO_SETUP_C(0x00);
    }
    const bool ok = board::ExchangeAcknowledged(list);
    ResetDonglePort();
    return ok;
}

bool R1Erase(std::uint8_t x, std::uint8_t y) {
    CommandList list;
    list.OP_R1_ERASE(x, y);
    list.OP_END_GROUP();
    return board::SendErase(list, kErasing);
}

bool R1ReadId(std::span<std::uint8_t, 3> id) {
    CommandList list;
    list.OP_R1_READ_ID();
    list.OP_END_GROUP();
    std::array<std::uint8_t, 3> reply{};
    Exchange(list, reply);
    std::copy(reply.begin(), reply.end(), id.begin());
    ResetDonglePort();
    return true;
}

bool R1BlankCheck(std::uint32_t first, std::uint32_t last) {
    return board::WalkBlankCheck(
        first, last, [](CommandList& list, std::uint8_t b) { list.OP_R1_BLANK_CHECK(b); },
        [](std::uint8_t r) { return r == kBlank; });
}

bool R1ProgramImage(std::span<const std::uint8_t> image, std::uint32_t units) {
    if (!board::HoldsUnits(image.size(), units)) return false;
    const bool programmed =
        board::ProgramImageBatches(PageBoard::K3r1, image, units, kProgramming3, kProgramming2);
    ResetDonglePort();
    return programmed;
}

bool R1ProgramPage(std::span<const std::uint8_t, kPageSize> page, std::uint32_t pageIndex) {
    return board::ProgramOnePage(PageBoard::K3r1, page, pageIndex, kProgramming2);
}

bool R1ReadBlock(std::span<std::uint8_t> block, std::uint32_t blockIndex) {
    if (block.size() < kBlockSize) return false;
    State().ProgressText = kReading2;
    CommandList list;
    list.OP_R1_SET_ADDRESS(blockIndex * static_cast<std::uint32_t>(kBlockSize));
    list.OP_R1_READ(kReadPackets);
    list.OP_END_GROUP();
    const auto out = block.first<kBlockSize>();
    // A block whose reply never came holds no data: its zeros would pass for option bytes.
    const bool read = Exchange(list, out);
    ResetDonglePort();
    board::WriteDumpFile(out, "RDBBK_512bytes.BKF");
    return read;
}

bool R1BitCount(std::uint32_t address, std::uint32_t count, std::uint32_t& sum) {
    State().ProgressText = kChecking2;
    const bool counted = board::SumBitCounts(
        address, count,
        [](CommandList& list, std::uint32_t at) {
            list.OP_R1_BIT_COUNT(at);
            list.OP_END_GROUP();
        },
        sum);
    ResetDonglePort();
    return counted;
}

std::uint32_t R1BitCount(std::uint32_t address, std::uint32_t count) {
    std::uint32_t sum = 0;
    R1BitCount(address, count, sum);
    return sum;
}

}  // namespace qdm
