#pragma once
// Chip types and the pages the writer boards put at the top of a chip's page space: the system
// option page (type, data range, checksum, agent key), the nine constant parameter blocks and
// their two XOR pages, the order they are written in, and reading the option page back.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <span>
#include <string_view>

#include "protocol/Usbfunctions.h"
#include "state/Mainprocess.h"

namespace qdm {

struct ChipProperties {
    std::string_view name;
    std::uint8_t code = 0;  // option page byte 252 and container header byte 11
    std::uint32_t imageSize = 0;
    std::uint32_t startAddress = 0;
    std::uint32_t endAddress = 0;  // image size less the 64 bytes the checksum leaves out
    std::uint8_t option249 = 0;
    std::uint8_t option248 = 0;
    std::uint8_t option247 = 0;
    std::uint8_t option246 = 0;
    std::uint8_t option209 = 0;
    std::uint8_t option208 = 0;
    std::uint8_t option250 = 0;
};

// One row per entry of ChipTypeNames, in the same order. "QM005" and "QM010" are 16 KiB and
// 32 KiB chips, as their end addresses and parameter blocks say.
inline constexpr std::array<ChipProperties, kChipTypeCount> ChipPropertyTable = {{
    {"AUTO", 0x00, 0, 0, 0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {"QL040", 0x04, 0x20000, 0, 0x1FFC0, 0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0xAF},
    {"QL020", 0x03, 0x10000, 0, 0xFFC0, 0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0xC0},
    {"QM005", 0x01, 0x4000, 0, 0x3FC0, 0x7C, 0x04, 0xAB, 0x04, 0x04, 0x00, 0xA7},
    {"QM010", 0x02, 0x8000, 0, 0x7FC0, 0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0x60},
    {"QM010C", 0x82, 0x8000, 0, 0x7FC0, 0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0x60},
    {"QM020", 0x03, 0x10000, 0, 0xFFC0, 0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0x8A},
    {"QM040", 0x04, 0x20000, 0, 0x1FFC0, 0x48, 0x09, 0x78, 0x09, 0x01, 0x00, 0x6A},
    {"QM080", 0x07, 0x40000, 0, 0x3FFC0, 0x48, 0x09, 0x78, 0x09, 0x01, 0x01, 0x6A},
    {"QN020", 0x05, 0x10000, 0, 0xFFC0, 0x00, 0x00, 0xFF, 0x00, 0x02, 0x01, 0xAF},
    {"QN040", 0x10, 0x20000, 0, 0x1FFC0, 0xA4, 0x04, 0xBC, 0x04, 0x02, 0x01, 0x1F},
    {"QN080", 0x20, 0x40000, 0, 0x3FFC0, 0x7C, 0x04, 0xAB, 0x04, 0x02, 0x01, 0x5C},
    {"Demoboard", 0xFF, 0x200000, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00},
}};

// The row of a combo box index; nullptr outside the table.
const ChipProperties* ChipRow(std::int32_t row);

// The first row, counting from row 0, that carries the code; nullptr when none does.
const ChipProperties* FirstRowWithCode(std::uint8_t code);

inline constexpr std::size_t kOptionPageSize = 256;
using OptionPage = std::array<std::uint8_t, kOptionPageSize>;

// Start and end address of every row when a container's range flag is set.
inline constexpr std::uint32_t kRangeFlagAddress = 0x000400;

// The random byte of the option page. Tests put a fixed sequence in.
class RandomByteSource {
  public:
    virtual ~RandomByteSource() = default;
    virtual std::uint8_t NextByte() = 0;
};

// Bytes from the operating system's random device.
class SystemRandomByteSource final : public RandomByteSource {
  public:
    std::uint8_t NextByte() override;

  private:
    std::random_device device_;
};

// The process-wide system source.
RandomByteSource& DefaultRandomByteSource();

// Option page bytes 227, 228 and 229 read from a chip before it is erased.
struct CarriedOptionBytes {
    std::array<std::uint8_t, 3> bytes = {0xFF, 0xFF, 0xFF};  // offsets 227, 228, 229

    // An erased chip carries nothing over.
    bool Carried() const { return bytes[0] != 0xFF || bytes[1] != 0xFF || bytes[2] != 0xFF; }
};

struct SysOptRequest {
    std::uint8_t chipCode = 0;
    std::int32_t chipRow = 0;  // the selected combo box index; gives the addresses
    bool rangeFlag = false;
    CarriedOptionBytes carried;
    std::uint8_t agentKey = 0;
    std::uint32_t checksum = 0;
    std::uint8_t clientBoardKind = kBoardNone;
};

// A request whose agent key, checksum and board kind come from the program state.
SysOptRequest SysOptRequestFromState(std::uint8_t chipCode, std::int32_t chipRow, bool rangeFlag,
                                     const CarriedOptionBytes& carried);

// The download's system option page. Addresses are written on the writer boards only.
OptionPage BuildSysOptPage(const SysOptRequest& request, RandomByteSource& random);

// The fast download's page: no addresses and no bytes 208, 209, 246-249; the chip row and the
// range flag are not used.
OptionPage BuildReducedSysOptPage(const SysOptRequest& request, RandomByteSource& random);

// Parameter blocks A to I: one byte per chip code at the offset equal to the code, 0xFF
// elsewhere.
enum OptionBlockId : std::size_t {
    kBlockA,
    kBlockB,
    kBlockC,
    kBlockD,
    kBlockE,
    kBlockF,
    kBlockG,
    kBlockH,
    kBlockI,
    kOptionBlockCount
};

namespace detail {
struct OptionEntry {
    std::uint8_t offset;
    std::uint8_t value;
};
constexpr OptionPage MakeOptionBlock(std::initializer_list<OptionEntry> entries) {
    OptionPage page{};
    page.fill(0xFF);
    for (const OptionEntry& e : entries)
        page[e.offset] = e.value;
    return page;
}
}  // namespace detail

// clang-format off
inline constexpr std::array<OptionPage, kOptionBlockCount> OptionBlocks = {
    // A
    detail::MakeOptionBlock({{1, 0x5A}, {2, 0x5A}, {3, 0x5A}, {4, 0x5A}, {7, 0x5A},
                             {16, 0x5A}, {32, 0x5A}, {130, 0x5A}}),
    // B
    detail::MakeOptionBlock({{1, 0x00}, {2, 0x00}, {3, 0x00}, {4, 0x01}, {7, 0x03},
                             {16, 0x01}, {32, 0x03}, {130, 0x00}}),
    // C
    detail::MakeOptionBlock({{1, 0x3F}, {2, 0x7F}, {130, 0x7F}}),
    // D
    detail::MakeOptionBlock({{1, 0x01}, {2, 0x01}, {3, 0x01}, {4, 0x01}, {5, 0x02}, {7, 0x01},
                             {16, 0x02}, {32, 0x02}, {130, 0x01}}),
    // E
    detail::MakeOptionBlock({{1, 0x00}, {2, 0x00}, {3, 0x00}, {4, 0x00}, {5, 0x01}, {7, 0x01},
                             {16, 0x01}, {32, 0x01}, {130, 0x00}}),
    // F
    detail::MakeOptionBlock({{1, 0x7C}, {2, 0x48}, {3, 0x48}, {4, 0x48}, {5, 0x00}, {7, 0x48},
                             {16, 0xA4}, {32, 0x7C}, {130, 0x48}}),
    // G
    detail::MakeOptionBlock({{1, 0x04}, {2, 0x09}, {3, 0x09}, {4, 0x09}, {5, 0x00}, {7, 0x09},
                             {16, 0x04}, {32, 0x04}, {130, 0x09}}),
    // H
    detail::MakeOptionBlock({{1, 0xAB}, {2, 0x78}, {3, 0x78}, {4, 0x78}, {7, 0x78},
                             {16, 0xBC}, {32, 0xAB}, {130, 0x78}}),
    // I
    detail::MakeOptionBlock({{1, 0x04}, {2, 0x09}, {3, 0x09}, {4, 0x09}, {5, 0x00}, {7, 0x09},
                             {16, 0x04}, {32, 0x04}, {130, 0x09}}),
};
// clang-format on

// Byte-by-byte XOR of blocks.
OptionPage XorOfBlocks(std::span<const OptionBlockId> blocks);
OptionPage XorPageAToC();  // written at 0xFFFB
OptionPage XorPageDToI();  // written at 0xFFCF

struct OptionPageWrite {
    std::uint16_t pageIndex = 0;
    OptionPage content{};
};

inline constexpr std::uint16_t kSysOptPageIndex = 0xFFFF;
inline constexpr std::size_t kOptionPageWriteCount = 12;
// The first five writes are the group whose result the download checks.
inline constexpr std::size_t kFirstOptionGroupSize = 5;

// The twelve page writes of a download, in order: the option page, A, B, C, their XOR page, then
// D to I and their XOR page.
std::array<OptionPageWrite, kOptionPageWriteCount> OptionPageWriteOrder(
    const OptionPage& sysOptPage);

// The option page comes back in the upper half of block kOptionBlockIndex (512 bytes).
inline constexpr std::size_t kOptionPageInBlock = 256;

// Option page byte k out of a read-back block 4095; nothing when the block is too short.
std::optional<std::uint8_t> OptionByteFromBlock(std::span<const std::uint8_t> block, std::size_t k);
// The whole option page out of a read-back block 4095.
std::optional<OptionPage> OptionPageFromBlock(std::span<const std::uint8_t> block);
// Bytes 227-229 out of a read-back block 4095; erased (nothing carried) when the block is short.
CarriedOptionBytes CarriedBytesFromBlock(std::span<const std::uint8_t> block);

}  // namespace qdm
