#pragma once
// Command lists of the writer firmware: the host appends commands, the dongle executes the list
// in order and answers with the concatenation of the commands' replies.

#include <chrono>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace qdm {

// The longest a serial NOR flash takes, at its datasheet maxima, for the slow work a list may
// ask of it: erasing a 64 KiB block, programming a page. Everything else a list asks takes
// milliseconds at most.
inline constexpr std::chrono::milliseconds kSlowestBlockErase{2000};
inline constexpr std::chrono::microseconds kSlowestPageProgram{3000};

inline constexpr std::size_t kPageSize = 256;
inline constexpr std::size_t kPageGroupSize = 512;  // one page command padded to a USB packet
inline constexpr std::size_t kBlockSize = 512;

struct ListCounters {
    std::int32_t bytesWritten = 0;  // bytes appended so far: the offset of the next command
    std::int32_t replyBytes = 0;    // reply bytes the commands appended so far will produce
};

// The 256 bytes of page data at `offset` of `image`; throws std::out_of_range when the image
// does not hold them, so a short buffer can never be read past its end.
std::span<const std::uint8_t, kPageSize> PageAt(std::span<const std::uint8_t> image,
                                                std::size_t offset);

// How many leading bytes of a list sent to the dongle are commands alone, up to the first byte of
// page data: a writer list's or an MCU-ROM list's. Zero fill is passed over; a byte that starts
// no known command ends the count, so what follows it is never taken for a command. A trace or a
// log that keeps only these bytes shows every command list but no image.
std::size_t CommandBytesBeforeData(std::span<const std::uint8_t> list);

// Which board's rows a page group uses.
enum class PageBoard { K3r8, K3r1, Demo };

class CommandList {
  public:
    // `capacity` is reserved up front so that building a list does not allocate.
    explicit CommandList(std::size_t capacity = 1024);

    [[nodiscard]] const ListCounters& Counters() const { return counters_; }
    [[nodiscard]] std::span<const std::uint8_t> Bytes() const { return bytes_; }
    [[nodiscard]] std::size_t ReplyLength() const {
        return static_cast<std::size_t>(counters_.replyBytes);
    }
    // Back to an empty list after an exchange; the buffer's memory is kept.
    void Reset();
    // The longest the flash work the list asks for may take (its erases and page programs at
    // the datasheet maxima): how long after its sending the list's reply may still come.
    [[nodiscard]] std::chrono::microseconds SlowestWork() const { return slowest_; }

    // Dongle information query; selector 1, 2 or 3. Any other selector appends nothing and
    // returns false.
    bool OP_INFO(std::uint8_t selector);
    bool OP_END_GROUP();
    bool OP_ACK();
    bool OP_IO_WRITE(std::uint8_t pattern);
    bool OP_IO_READ_ID();
    bool OP_IO_READ_BUSY();
    bool OP_IO_SETUP_A(std::uint8_t value);
    bool OP_IO_SETUP_B(std::uint8_t value);
    bool OP_IO_SETUP_C(std::uint8_t value);

    bool OP_R8_READ_ID();
    bool OP_R8_PROGRAM_STATUS();
    bool OP_R8_BLANK_CHECK(std::uint8_t block);
    bool OP_R8_WRITE_ENABLE();
    bool OP_R8_ERASE(std::uint8_t x, std::uint8_t y);
    bool OP_R8_SET_ADDRESS(std::uint32_t address);
    bool OP_R8_READ(std::uint8_t n);
    bool OP_R8_PROGRAM_PAGE(std::uint32_t address, std::span<const std::uint8_t, kPageSize> data);
    bool OP_R8_SELECT(std::uint8_t value);

    bool OP_DEMO_READ_ID();
    bool OP_DEMO_READ_STATUS();
    bool OP_DEMO_PROGRAM_STATUS();
    bool OP_DEMO_WRITE_ENABLE();
    bool OP_DEMO_CHIP_ERASE();
    bool OP_DEMO_PROGRAM_PAGE(std::uint32_t address, std::span<const std::uint8_t, kPageSize> data);
    // The two appends of opcode 0x46: flash access (1 = on) and run control (1 = release).
    bool OP_DEMO_MODE_FLASH_ACCESS(std::uint8_t on);
    bool OP_DEMO_MODE_RUN_CONTROL(std::uint8_t release);
    bool OP_DEMO_BIT_COUNT(std::uint32_t address);

    bool OP_R1_READ_ID();
    bool OP_R1_PROGRAM_STATUS();
    bool OP_R1_BLANK_CHECK(std::uint8_t block);
    bool OP_R1_WRITE_ENABLE();
    bool OP_R1_ERASE(std::uint8_t x, std::uint8_t y);
    bool OP_R1_SET_ADDRESS(std::uint32_t address);
    bool OP_R1_READ(std::uint8_t n);
    bool OP_R1_PROGRAM_PAGE(std::uint32_t address, std::span<const std::uint8_t, kPageSize> data);
    bool OP_R1_SELECT(std::uint8_t value);
    bool OP_R1_BIT_COUNT(std::uint32_t address);

    // One page as exactly 512 list bytes: write enable, page program, program status and 248
    // zero bytes, so that every page starts a USB packet of its own.
    void AppendPageGroup(PageBoard board, std::uint32_t address,
                         std::span<const std::uint8_t, kPageSize> data);

  private:
    bool Short(std::uint8_t opcode, std::uint8_t argument, std::int32_t reply);
    bool Long(std::uint8_t opcode, std::uint8_t a, std::uint8_t b, std::uint8_t c,
              std::int32_t reply);
    bool Address(std::uint8_t opcode, std::uint32_t address, std::int32_t reply);
    bool Data(std::uint8_t opcode, std::uint32_t address,
              std::span<const std::uint8_t, kPageSize> data);
    void Appended(std::size_t bytes, std::int32_t reply);

    std::vector<std::uint8_t> bytes_;
    ListCounters counters_;
    std::chrono::microseconds slowest_{0};
};

}  // namespace qdm
