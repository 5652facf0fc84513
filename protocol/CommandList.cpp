#include "protocol/CommandList.h"

#include <algorithm>
#include <string>

namespace qdm {

std::span<const std::uint8_t, kPageSize> PageAt(std::span<const std::uint8_t> image,
                                                std::size_t offset) {
    if (offset > image.size() || image.size() - offset < kPageSize)
        throw std::out_of_range("page at offset " + std::to_string(offset) +
                                " lies beyond an image of " + std::to_string(image.size()) +
                                " bytes");
    return image.subspan(offset).first<kPageSize>();
}

CommandList::CommandList(std::size_t capacity) {
    bytes_.reserve(capacity);
}

void CommandList::Reset() {
    bytes_.clear();
    counters_ = {};
    slowest_ = {};
}

void CommandList::Appended(std::size_t bytes, std::int32_t reply) {
    counters_.bytesWritten += static_cast<std::int32_t>(bytes);
    counters_.replyBytes += reply;
}

bool CommandList::Short(std::uint8_t opcode, std::uint8_t argument, std::int32_t reply) {
    bytes_.push_back(opcode);
    bytes_.push_back(argument);
    Appended(2, reply);
    return true;
}

bool CommandList::Long(std::uint8_t opcode, std::uint8_t a, std::uint8_t b, std::uint8_t c,
                       std::int32_t reply) {
    bytes_.insert(bytes_.end(), {opcode, a, b, c});
    Appended(4, reply);
    return true;
}

namespace {
// Only bits 23..0 travel; higher bits are dropped (page index 0xFFFF gives 0xFFFF00).
std::uint8_t AddressByte(std::uint32_t address, int shift) {
    return static_cast<std::uint8_t>((address >> shift) & 0xFF);
}
}  // namespace

bool CommandList::Address(std::uint8_t opcode, std::uint32_t address, std::int32_t reply) {
    return Long(opcode, AddressByte(address, 16), AddressByte(address, 8), AddressByte(address, 0),
                reply);
}

bool CommandList::Data(std::uint8_t opcode, std::uint32_t address,
                       std::span<const std::uint8_t, kPageSize> data) {
    Address(opcode, address, 0);
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    Appended(kPageSize, 0);
    slowest_ += kSlowestPageProgram;
    return true;
}

bool CommandList::OP_INFO(std::uint8_t selector) {
    switch (selector) {
        case 1:
            return Short(0x01, selector, 4);
        case 2:
            return Short(0x01, selector, 2);
        case 3:
            return Short(0x01, selector, 4);
        default:
            return false;
    }
}

bool CommandList::OP_END_GROUP() {
    return Short(0x02, 0x00, 0);
}
bool CommandList::OP_ACK() {
    return Short(0x03, 0x00, 1);
}
bool CommandList::OP_IO_WRITE(std::uint8_t pattern) {
    return Short(0x11, pattern, 0);
}
bool CommandList::OP_IO_READ_ID() {
    return Short(0x15, 0x00, 1);
}
bool CommandList::OP_IO_READ_BUSY() {
    return Short(0x16, 0x00, 1);
}
bool CommandList::OP_IO_SETUP_A(std::uint8_t value) {
    return Short(0x1A, value, 0);
}
bool CommandList::OP_IO_SETUP_B(std::uint8_t value) {
    return Short(0x1B, value, 0);
}
bool CommandList::OP_IO_SETUP_C(std::uint8_t value) {
    return Short(0x1C, value, 0);
}

bool CommandList::OP_R8_READ_ID() {
    return Short(0x30, 0x01, 12);
}
bool CommandList::OP_R8_PROGRAM_STATUS() {
    return Short(0x30, 0x03, 1);
}
bool CommandList::OP_R8_BLANK_CHECK(std::uint8_t block) {
    return Long(0x30, 0x04, block, 0x00, 1);
}
bool CommandList::OP_R8_WRITE_ENABLE() {
    return Short(0x31, 0x55, 0);
}
bool CommandList::OP_R8_ERASE(std::uint8_t x, std::uint8_t y) {
    slowest_ += kSlowestBlockErase * y;
    return Long(0x31, 0xA5, x, y, 2);
}
bool CommandList::OP_R8_SET_ADDRESS(std::uint32_t address) {
    return Address(0x32, address, 0);
}
bool CommandList::OP_R8_READ(std::uint8_t n) {
    return Short(0x33, n, 8 * (n + 1));
}
bool CommandList::OP_R8_PROGRAM_PAGE(std::uint32_t address,
                                     std::span<const std::uint8_t, kPageSize> data) {
    return Data(0x34, address, data);
}
bool CommandList::OP_R8_SELECT(std::uint8_t value) {
    return Short(0x35, value, 0);
}

bool CommandList::OP_DEMO_READ_ID() {
    return Short(0x40, 0x01, 3);
}
bool CommandList::OP_DEMO_READ_STATUS() {
    return Short(0x40, 0x02, 1);
}
bool CommandList::OP_DEMO_PROGRAM_STATUS() {
    return Short(0x40, 0x03, 1);
}
bool CommandList::OP_DEMO_WRITE_ENABLE() {
    return Short(0x41, 0x55, 0);
}
bool CommandList::OP_DEMO_CHIP_ERASE() {
    return Short(0x41, 0xA0, 0);
}
bool CommandList::OP_DEMO_PROGRAM_PAGE(std::uint32_t address,
                                       std::span<const std::uint8_t, kPageSize> data) {
    return Data(0x44, address, data);
}
bool CommandList::OP_DEMO_MODE_FLASH_ACCESS(std::uint8_t on) {
    return Short(0x46, on == 1 ? 0xAA : 0x55, 0);
}
bool CommandList::OP_DEMO_MODE_RUN_CONTROL(std::uint8_t release) {
    return Short(0x46, release == 1 ? 0x5A : 0xA5, 0);
}
bool CommandList::OP_DEMO_BIT_COUNT(std::uint32_t address) {
    return Address(0x47, address, 3);
}

bool CommandList::OP_R1_READ_ID() {
    return Short(0x50, 0x01, 3);
}
bool CommandList::OP_R1_PROGRAM_STATUS() {
    return Short(0x50, 0x03, 1);
}
bool CommandList::OP_R1_BLANK_CHECK(std::uint8_t block) {
    return Long(0x50, 0x04, block, 0x00, 1);
}
bool CommandList::OP_R1_WRITE_ENABLE() {
    return Short(0x51, 0x55, 0);
}
bool CommandList::OP_R1_ERASE(std::uint8_t x, std::uint8_t y) {
    slowest_ += kSlowestBlockErase * y;
    return Long(0x51, 0xA5, x, y, 2);
}
bool CommandList::OP_R1_SET_ADDRESS(std::uint32_t address) {
    return Address(0x52, address, 0);
}
bool CommandList::OP_R1_READ(std::uint8_t n) {
    return Short(0x53, n, 2 * (n + 1));
}
bool CommandList::OP_R1_PROGRAM_PAGE(std::uint32_t address,
                                     std::span<const std::uint8_t, kPageSize> data) {
    return Data(0x54, address, data);
}
bool CommandList::OP_R1_SELECT(std::uint8_t value) {
    return Short(0x55, value, 0);
}
bool CommandList::OP_R1_BIT_COUNT(std::uint32_t address) {
    return Address(0x56, address, 3);
}

void CommandList::AppendPageGroup(PageBoard board, std::uint32_t address,
                                  std::span<const std::uint8_t, kPageSize> data) {
    switch (board) {
        case PageBoard::K3r8:
            OP_R8_WRITE_ENABLE();
            OP_R8_PROGRAM_PAGE(address, data);
            OP_R8_PROGRAM_STATUS();
            break;
        case PageBoard::K3r1:
            OP_R1_WRITE_ENABLE();
            OP_R1_PROGRAM_PAGE(address, data);
            OP_R1_PROGRAM_STATUS();
            break;
        case PageBoard::Demo:
            OP_DEMO_WRITE_ENABLE();
            OP_DEMO_PROGRAM_PAGE(address, data);
            OP_DEMO_PROGRAM_STATUS();
            break;
    }
    constexpr std::size_t kCommands = 2 + 4 + kPageSize + 2;
    bytes_.insert(bytes_.end(), kPageGroupSize - kCommands, std::uint8_t{0});
    Appended(kPageGroupSize - kCommands, 0);
}

}  // namespace qdm

namespace qdm {

std::size_t CommandBytesBeforeData(std::span<const std::uint8_t> list) {
    std::size_t at = 0;
    while (at < list.size()) {
        const std::uint8_t opcode = list[at];
        const std::uint8_t argument = at + 1 < list.size() ? list[at + 1] : 0;
        std::size_t length = 2;
        switch (opcode) {
            case 0x00:  // fill
                length = 1;
                break;
            case 0x34:  // page programs of the three boards: opcode and address, then data
            case 0x44:
            case 0x54:
                return std::min(at + 4, list.size());
            case 0x15:  // the writer's board ID read has 00; the MCU-ROM's program a count
                if (argument != 0) return std::min(at + 2, list.size());
                break;
            case 0x30:  // blank checks take a block and a spare byte
            case 0x50:
                length = argument == 0x04 ? 4 : 2;
                break;
            case 0x31:  // erases take two bytes
            case 0x51:
                length = argument == 0xA5 ? 4 : 2;
                break;
            case 0x1E:  // addresses
            case 0x32:
            case 0x52:
            case 0x47:
            case 0x56:
                length = 4;
                break;
            case 0x01:
            case 0x02:
            case 0x03:
            case 0x0D:
            case 0x0E:
            case 0x10:
            case 0x11:
            case 0x16:
            case 0x17:
            case 0x1A:
            case 0x1B:
            case 0x1C:
            case 0x1D:
            case 0x21:
            case 0x25:
            case 0x26:
            case 0x33:
            case 0x35:
            case 0x40:
            case 0x41:
            case 0x46:
            case 0x53:
            case 0x55:
                break;
            default:
                return at;
        }
        at += length;
    }
    return list.size();
}

}  // namespace qdm
