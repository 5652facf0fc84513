#include "workflows/boards/ClientBoard.h"

#include <algorithm>
#include <stdexcept>

#include "workflows/boards/Demoboard.h"
#include "workflows/boards/K3r1Board.h"
#include "workflows/boards/K3r8Board.h"

namespace qdm::boards {

namespace {

constexpr std::size_t kChipCodeOption = 252;

// The block holding a page below the option page, and where in it the page lies.
std::uint32_t BlockOfPage(std::uint16_t pageIndex) {
    return kOptionBlockIndex - (kSysOptPageIndex - pageIndex) / 2u;
}
std::size_t OffsetOfPage(std::uint16_t pageIndex) {
    return (pageIndex & 1u) != 0 ? kOptionPageInBlock : 0;
}

[[noreturn]] void Unsupported(const ClientBoard& board, const char* stage) {
    throw std::logic_error(std::string(board.Name()) + " has no " + stage);
}

}  // namespace

std::uint8_t WrittenOptionPages::FailedChips(
    std::span<const std::vector<std::uint8_t>> blocks) const {
    std::uint8_t failed = 0;
    for (std::size_t chip = 0; chip < blocks.size(); ++chip) {
        const auto fail = [&failed, chip] {
            failed = static_cast<std::uint8_t>(failed | (1u << chip));
        };
        const std::optional<OptionPage> page = OptionPageFromBlock(blocks[chip]);
        if (!page || (*page)[kChipCodeOption] != chipCode || *page != sysOptPage) fail();
        // The lower half is read anyway, so a chip that did not take its page there is caught
        // without another exchange.
        for (const OptionPageWrite& w : writes) {
            if (BlockOfPage(w.pageIndex) != kOptionBlockIndex || OffsetOfPage(w.pageIndex) != 0)
                continue;
            if (!std::equal(w.content.begin(), w.content.end(), blocks[chip].begin())) fail();
        }
    }
    return failed;
}

std::optional<OptionBlocks> ClientBoard::ReadOptionBlocks() {
    Unsupported(*this, "option read");
}

StageResult ClientBoard::BlankCheck(const BoardImage& /*image*/) {
    Unsupported(*this, "blank check");
}

bool ClientBoard::ProgramPage(const OptionPage& /*page*/, std::uint16_t /*pageIndex*/) {
    Unsupported(*this, "option pages");
}

StageResult ClientBoard::VerifyOptionPage(const WrittenOptionPages& /*pages*/) {
    Unsupported(*this, "option page");
}

std::optional<FlashData> ClientBoard::ReadData(std::uint32_t /*units*/) {
    Unsupported(*this, "read-back");
}

StageResult ClientBoard::VerifyByOneBitCount(OperatorPanel& panel, const BoardImage& image,
                                             BitCount count) {
    panel.SetStatusText("64k Verifying..");
    panel.ProcessMessages();
    std::uint32_t ones = 0;
    // A count whose reply was lost reads as zero one bits, which may match the image.
    if (!count(0, image.regions, ones)) return {false, std::string(kDataVerifyUsbFail)};
    if (ones != image.oneBits) return {false, "Serial Flash Data Verify Fail !(DATA)"};
    return {true, std::string(kDataVerifyOk)};
}

std::unique_ptr<ClientBoard> MakeClientBoard(std::uint8_t kind) {
    switch (kind) {
        case kBoardK3r8:
            return std::make_unique<K3r8Board>();
        case kBoardK3r1:
            return std::make_unique<K3r1Board>();
        case kBoardDemo:
            return std::make_unique<Demoboard>();
        default:
            return nullptr;
    }
}

}  // namespace qdm::boards
