#include "workflows/boards/K3r1Board.h"

#include <array>

#include "protocol/Usbfunctions.h"

namespace qdm::boards {

namespace {

constexpr std::size_t kBlockBuffer = 1024;
constexpr std::uint32_t kUnitsPerEraseBlock = 4;  // 64 KiB blocks of 16 KiB units

// Block 4095 in one exchange; false when the reply did not arrive whole.
bool ReadBlock(std::vector<std::uint8_t>& block) {
    block.assign(kBlockBuffer, 0);
    return R1ReadBlock(block, kOptionBlockIndex);
}

}  // namespace

bool K3r1Board::SwitchOn() {
    return R1Enable(1);
}

void K3r1Board::SwitchOff() {
    R1Enable(0);
}

bool K3r1Board::CheckId() {
    // The ID bytes are not judged: a board that does not answer fails the option read after it.
    std::array<std::uint8_t, 3> id{};
    R1ReadId(id);
    return true;
}

std::optional<OptionBlocks> K3r1Board::ReadOptionBlocks() {
    OptionBlocks blocks(1);
    std::vector<std::uint8_t> again;
    if (!ReadBlock(blocks[0]) || !ReadBlock(again) || blocks[0] != again) return std::nullopt;
    return blocks;
}

bool K3r1Board::Erase() {
    R1Erase(0x00, 0x04);
    return R1Erase(0x7F, 0x01);
}

StageResult K3r1Board::BlankCheck(const BoardImage& image) {
    const std::uint32_t blocks = (image.units + kUnitsPerEraseBlock - 1) / kUnitsPerEraseBlock;
    if (!R1BlankCheck(0, blocks)) return {false, std::string(kBlankCheckError)};
    return {true, std::string(kBlankCheckOk)};
}

bool K3r1Board::Program(const BoardImage& image) {
    return R1ProgramImage(image.bytes, image.units);
}

bool K3r1Board::ProgramPage(const OptionPage& page, std::uint16_t pageIndex) {
    return R1ProgramPage(page, pageIndex);
}

StageResult K3r1Board::VerifyData(OperatorPanel& panel, const BoardImage& image) {
    return VerifyByOneBitCount(panel, image, &R1BitCount);
}

StageResult K3r1Board::VerifyOptionPage(const WrittenOptionPages& pages) {
    OptionBlocks blocks(1);
    const bool read = ReadBlock(blocks[0]);
    // This board's interface goes off as soon as its last block is in.
    SwitchOff();
    if (!read) return {false, std::string(kOptionVerifyUsbFail)};
    if (pages.FailedChips(blocks) != 0) return {false, "Serial Flash Data Verify Fail!(SYSOpt)"};
    return {true, std::string(kDataVerifyOk)};
}

}  // namespace qdm::boards
