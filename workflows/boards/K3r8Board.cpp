#include "workflows/boards/K3r8Board.h"

#include <algorithm>
#include <array>

#include "protocol/Usbfunctions.h"

namespace qdm::boards {

namespace {

constexpr std::size_t kChips = 4;
constexpr std::size_t kBlockBuffer = 1024;
// The blank check looks at the first four 64 KiB blocks, whatever the image's size.
constexpr std::uint32_t kBlankCheckBlocks = 4;
constexpr std::uint8_t kAllChips = 0x0F;

// Block 4095 of every chip in one exchange; false when the reply did not arrive whole.
bool ReadBlocks(OptionBlocks& blocks) {
    blocks.assign(kChips, std::vector<std::uint8_t>(kBlockBuffer, 0));
    return R8ReadBlock(blocks[0], blocks[1], blocks[2], kOptionBlockIndex, blocks[3]);
}

}  // namespace

std::string FailedChipList(std::uint8_t failed) {
    std::string list = "S-Flash Chip";
    bool first = true;
    for (int chip = 1; chip <= 4; ++chip) {
        if ((failed & (1u << (chip - 1))) == 0) continue;
        list += first ? ' ' : ',';
        list += static_cast<char>('0' + chip);
        first = false;
    }
    return list;
}

bool K3r8Board::SwitchOn() {
    return R8Enable(1);
}

void K3r8Board::SwitchOff() {
    R8Enable(0);
}

bool K3r8Board::CheckId() {
    // The ID bytes are not judged: a board that does not answer fails the option read after it.
    std::array<std::uint8_t, 12> id{};
    R8ReadId(id);
    return true;
}

std::optional<OptionBlocks> K3r8Board::ReadOptionBlocks() {
    OptionBlocks blocks;
    OptionBlocks again;
    if (!ReadBlocks(blocks) || !ReadBlocks(again) || blocks != again) return std::nullopt;
    return blocks;
}

bool K3r8Board::Erase() {
    // The blank check judges the erase on this board.
    R8Erase(0x00, 0x04);
    R8Erase(0x7F, 0x01);
    return true;
}

StageResult K3r8Board::BlankCheck(const BoardImage& /*image*/) {
    std::uint8_t blank = 0;
    // A chip that failed while another passed is programmed all the same; its state shows at the
    // data verify.
    if (!R8BlankCheck(0, kBlankCheckBlocks, blank) && (blank & kAllChips) == 0)
        return {false, FailedChipList(kAllChips) + " Blank Check Fail!!"};
    return {true, std::string(kBlankCheckOk)};
}

bool K3r8Board::Program(const BoardImage& image) {
    return R8ProgramImage(image.bytes, image.units);
}

bool K3r8Board::ProgramPage(const OptionPage& page, std::uint16_t pageIndex) {
    return R8ProgramPage(page, pageIndex);
}

std::optional<FlashData> K3r8Board::ReadData(std::uint32_t units) {
    const std::size_t length = std::size_t{units} * kImageUnit;
    FlashData chips(kChips, std::vector<std::uint8_t>(length, 0));
    if (!R8ReadBack(chips[0], chips[1], chips[2], units, chips[3])) return std::nullopt;
    return chips;
}

StageResult K3r8Board::VerifyData(OperatorPanel& /*panel*/, const BoardImage& image) {
    // Every programmed unit is compared, the erased flash behind the image included.
    const std::optional<FlashData> chips = ReadData(image.units);
    if (!chips) return {false, std::string(kDataVerifyUsbFail)};
    const auto expected = image.bytes.first(std::size_t{image.units} * kImageUnit);
    std::uint8_t failed = 0;
    for (std::size_t chip = 0; chip < kChips; ++chip) {
        if (!std::equal(expected.begin(), expected.end(), (*chips)[chip].begin()))
            failed = static_cast<std::uint8_t>(failed | (1u << chip));
    }
    if (failed != 0) return {false, FailedChipList(failed) + " Verify Fail!!"};
    return {true, "Chips Data Verify OK!"};
}

StageResult K3r8Board::VerifyOptionPage(const WrittenOptionPages& pages) {
    OptionBlocks blocks;
    if (!ReadBlocks(blocks)) return {false, std::string(kOptionVerifyUsbFail)};
    const std::uint8_t failed = pages.FailedChips(blocks);
    if (failed != 0) return {false, FailedChipList(failed) + " Data Verify Fail !(SYSOpt-USB)"};
    return {true, std::string(kDataVerifyOk)};
}

}  // namespace qdm::boards
