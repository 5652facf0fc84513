// The host's board objects: one per kind the detection reports, and a stage a board lacks is
// refused before anything reaches the dongle, so that a caller running single stages cannot
// drive a board through an operation it does not have.

#include <gtest/gtest.h>

#include <stdexcept>

#include "workflows/boards/ClientBoard.h"

namespace qdm::boards {
namespace {

TEST(ClientBoards, OneBoardPerDetectedKindAndNoneForTheRest) {
    for (int kind = 0; kind <= 0xFF; ++kind) {
        const auto board = MakeClientBoard(static_cast<std::uint8_t>(kind));
        const bool known = kind == kBoardK3r8 || kind == kBoardK3r1 || kind == kBoardDemo;
        ASSERT_EQ(board != nullptr, known) << kind;
        if (board) {
            EXPECT_EQ(board->Kind(), kind);
        }
    }
}

TEST(ClientBoards, AStageABoardLacksIsRefused) {
    const BoardImage image;
    const WrittenOptionPages pages;
    for (const std::uint8_t kind : {kBoardK3r8, kBoardK3r1, kBoardDemo}) {
        const auto board = MakeClientBoard(kind);
        const auto refused = [&board, &image, &pages](Stage stage) {
            try {
                switch (stage) {
                    case Stage::OptionRead:
                        board->ReadOptionBlocks();
                        break;
                    case Stage::BlankCheck:
                        board->BlankCheck(image);
                        break;
                    case Stage::OptionPages:
                        board->ProgramPage(OptionPage{}, kSysOptPageIndex);
                        break;
                    case Stage::VerifyOptionPage:
                        board->VerifyOptionPage(pages);
                        break;
                    default:
                        return false;  // every board has these
                }
            } catch (const std::logic_error&) {
                return true;
            }
            return false;
        };
        for (const Stage stage :
             {Stage::OptionRead, Stage::BlankCheck, Stage::OptionPages, Stage::VerifyOptionPage}) {
            if (!board->Supports(stage)) {
                EXPECT_TRUE(refused(stage)) << board->Name();
            }
        }
    }
}

}  // namespace
}  // namespace qdm::boards
