#include "state/Mainprocess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qdm {
namespace {

class MainprocessTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetProgramState(); }
    void TearDown() override { ResetProgramState(); }
};

TEST_F(MainprocessTest, TablesAndInitialValues) {
    EXPECT_EQ(ExpectedVID, "0x04B4");
    EXPECT_EQ(ExpectedPID, "0x1004");
    EXPECT_EQ(AgentNames[0], "NoAgentExist");
    EXPECT_EQ(AgentNames[6], "PB");
    EXPECT_EQ(AgentNames[9], "QRV");
    EXPECT_EQ(ChipTypeNames[0], "AUTO");
    EXPECT_EQ(ChipTypeNames[5], "QM010C");
    EXPECT_EQ(ChipTypeNames[12], "Demoboard");
    EXPECT_EQ(ChipTypeItems, ChipTypeNames);
    EXPECT_NE(static_cast<const void*>(ChipTypeItems.data()),
              static_cast<const void*>(ChipTypeNames.data()));

    const ProgramState& s = State();
    EXPECT_EQ(s.AgentIndex, 6);
    EXPECT_EQ(s.FileNameRuleEnabled, 1);
    EXPECT_EQ(s.DemoboardChipRow, 10);
    EXPECT_EQ(s.DumpFilesEnabled, 1);
    EXPECT_EQ(s.OperationBusy, 0);
    EXPECT_EQ(s.DongleConnected, 0);
    EXPECT_EQ(s.FirmwareLoaded, 0);
    EXPECT_EQ(s.ProgressValue, 0);
    EXPECT_EQ(s.ClientBoardKind, 0);
    EXPECT_EQ(s.ImageChecksum, 0u);
    EXPECT_EQ(s.ExpgMode, 0);
    EXPECT_TRUE(s.DetectedVID.empty());
    EXPECT_TRUE(s.ProgressText.empty());
    EXPECT_EQ(s.FirmwareTextLength(), 0u);
}

TEST_F(MainprocessTest, ExpgCommandLines) {
    struct Case {
        std::vector<std::string> args;
        bool expg;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{"EXPG", "a.bin"}, true, "a.bin "},
        {{"expg", "C:\\My", "Files\\a.bin"}, true, "C:\\My Files\\a.bin "},
        {{"ExPg", "x"}, true, "x "},
        {{"EXPG"}, false, ""},
        {{"other", "a.bin"}, false, ""},
        {{"EXPGX", "a.bin"}, false, ""},
        {{}, false, ""},
    };
    for (const Case& c : cases) {
        ResetProgramState();
        State().AgentIndex = 3;  // FormCreate remembers whatever is in force
        EXPECT_EQ(FormCreateState(c.args), c.expg) << ::testing::PrintToString(c.args);
        EXPECT_EQ(State().ExpgMode, c.expg ? 1 : 0);
        EXPECT_EQ(State().ExpgFileText, c.text);
        EXPECT_EQ(State().SavedAgentIndex, 3);
    }
}

TEST_F(MainprocessTest, ExpgFileNameDropsOnlyTheJoiningBlank) {
    EXPECT_EQ(ExpgFileName("a.bin "), "a.bin");
    EXPECT_EQ(ExpgFileName("/tmp/My Files/a.bin "), "/tmp/My Files/a.bin");
    EXPECT_EQ(ExpgFileName("name ending in blank  "), "name ending in blank ");
    EXPECT_EQ(ExpgFileName(""), "");
}

}  // namespace
}  // namespace qdm
