// Complete download runs on each client board: the status line, message by message, and what
// the flash holds afterwards.

#include <algorithm>

#include "state/SafeFile.h"
#include "tests/e2e/WorkflowFixture.h"
#include "workflows/Sha256.h"

namespace qdm::test {
namespace {

using Lines = std::vector<std::string>;

enum class Form { Container, Raw };

struct Row {
    const char* board;
    Form form;
    bool fast;
};

std::string Name(const Row& r) {
    return std::string(r.board) + (r.form == Form::Container ? "_container" : "_raw") +
           (r.fast ? "_fast" : "_full");
}

class WholeRun : public WorkflowTest, public ::testing::WithParamInterface<Row> {};

// QL020: 64 KiB, chip code 0x03, row 2. The demoboard takes a raw image at its file length.
constexpr std::size_t kImage = 0x10000;
constexpr int kRow = 2;

Lines ExpectedLines(const std::string& board, bool fast) {
    const bool demo = board == "demoboard";
    const std::string name = board == "k3r8"   ? "OTP Writer K3.r8"
                             : board == "k3r1" ? "OTP Writer K3.r1"
                                               : "Speech OTP Demoboard";
    Lines lines = {"blue: USB Dongle Connected!, Client Board: " + name,
                   "blue: Serial-Flash ID Check OK!",
                   "blue: Erase and Blank Check!",
                   "blue: Chip Erase OK!",
                   "blue: Serial Flash Blank Check OK!!",
                   "blue: Serial Flash Page Programming OK!!",
                   "blue: Serial Flash Page Programming OK!!"};
    if (board == "k3r8") {
        lines.push_back("blue: Chips Data Verify OK!");
    } else {
        lines.push_back("blue: 64k Verifying..");
        lines.push_back("blue: Serial Flash Data Verify OK !");
    }
    lines.push_back("blue: Serial Flash Data Verify OK !");
    if (demo && !fast) {
        lines.push_back("blue: Demoboard resetting!!");
        lines.push_back("blue: Demoboard reset OK!!");
    }
    return lines;
}

// Progress texts drawn every 300 ms in the window are not status messages of their own.
Lines WithoutProgress(const Lines& lines) {
    Lines kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept),
                 [](const std::string& l) { return l.find('%') == std::string::npos; });
    return kept;
}

TEST_P(WholeRun, ProgramsTheImageAndTheOptionPages) {
    const Row row = GetParam();
    const bool demo = std::string(row.board) == "demoboard";
    Start(row.board);
    const auto plain = Plain(kImage);
    const std::uint8_t key = AgentKey(kBuiltInAgentIndex);
    const std::string file = row.form == Form::Container
                                 ? File("QL020.bin", Container(plain, 0x03, kRow))
                                 : File("QL020.bin", MakeRawFileImage(plain, key).value());
    panel.files.push_back(file);
    if (row.form == Form::Raw && !demo) panel.selected = kRow;
    if (row.fast) LoadWriterFirmware();  // the fast variant never loads it

    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(ReadRegularFile(file, kMaxRomFileLength, bytes));
    const RunOutcome outcome = Download(row.fast);
    ASSERT_TRUE(outcome.Succeeded()) << outcome.message;
    // The run names the bytes it programmed, not whatever the path holds by the time it ends.
    EXPECT_EQ(outcome.details.sha256, Sha256Hex(bytes));
    EXPECT_EQ(WithoutProgress(panel.StatusLines()), ExpectedLines(row.board, row.fast));
    const std::string boardName = demo                               ? "Speech OTP Demoboard"
                                  : std::string(row.board) == "k3r8" ? "OTP Writer K3.r8"
                                                                     : "OTP Writer K3.r1";
    EXPECT_EQ(panel.label, boardName + (row.form == Form::Container ? " / ROM Version RV24"
                                                                    : " / ROM Version RV20"));
    EXPECT_EQ(State().OperationBusy, 0);
    EXPECT_TRUE(panel.controlsEnabled);
    if (row.form == Form::Container && !row.fast && !demo)
        EXPECT_EQ(panel.Calls("select "), Lines{"2"});  // the container's chip index preselects
    else
        EXPECT_TRUE(panel.Calls("select ").empty());

    if (demo) {
        // The demoboard holds the plain image.
        EXPECT_EQ(Flash(Dongle().Demo()->Chip(), 0, kImage), plain);
        EXPECT_FALSE(Dongle().Demo()->Held());
        EXPECT_FALSE(Dongle().Demo()->Powered());
        return;
    }
    std::vector<const sim::SerialFlash*> chips;
    if (auto* k3r8 = Dongle().K3r8()) {
        for (std::size_t c = 0; c < 4; ++c)
            chips.push_back(&k3r8->Chip(c));
    } else {
        chips.push_back(&Dongle().K3r1()->Chip());
    }
    SysOptRequest request;
    request.chipCode = 0x03;
    request.chipRow = kRow;
    request.agentKey = key;
    request.checksum = ImageChecksum(plain);
    request.clientBoardKind = State().ClientBoardKind;
    FixedRandom same;
    const OptionPage page =
        row.fast ? BuildReducedSysOptPage(request, same) : BuildSysOptPage(request, same);
    const auto chained = MakeChainedImage(plain, key);
    const auto writes = OptionPageWriteOrder(page);
    for (const sim::SerialFlash* chip : chips) {
        EXPECT_EQ(Flash(*chip, 0, kImage), chained);
        for (std::size_t i = 0; i < writes.size(); ++i) {
            const std::uint32_t address = (std::uint32_t{writes[i].pageIndex} * 256) & 0x1FFFFF;
            const auto written = Flash(*chip, address, 256);
            if (row.fast && i > 0) {
                EXPECT_TRUE(
                    std::all_of(written.begin(), written.end(), [](auto b) { return b == 0xFF; }));
            } else {
                EXPECT_TRUE(std::equal(written.begin(), written.end(), writes[i].content.begin()))
                    << "page " << std::hex << writes[i].pageIndex;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryBoard, WholeRun,
    ::testing::Values(Row{"k3r8", Form::Container, false}, Row{"k3r8", Form::Raw, false},
                      Row{"k3r8", Form::Container, true}, Row{"k3r8", Form::Raw, true},
                      Row{"k3r1", Form::Container, false}, Row{"k3r1", Form::Raw, false},
                      Row{"k3r1", Form::Container, true}, Row{"k3r1", Form::Raw, true},
                      Row{"demoboard", Form::Container, false}, Row{"demoboard", Form::Raw, false},
                      Row{"demoboard", Form::Container, true}, Row{"demoboard", Form::Raw, true}),
    [](const auto& p) { return Name(p.param); });

TEST_F(WorkflowTest, DemoboardImageCarriesTheFileNamePatch) {
    Start("demoboard");
    const auto plain = Plain(0x8000);
    panel.files.push_back(File("qM_sound.bin", MakeRawFileImage(plain, AgentKey(6)).value()));
    ASSERT_TRUE(Download().Succeeded());
    auto expected = plain;
    expected[386] |= 0xF0;
    expected[387] = 0x0F;
    EXPECT_EQ(Flash(Dongle().Demo()->Chip(), 0, expected.size()), expected);
}

TEST_F(WorkflowTest, SmallImagesAreVerifiedOverWholeRegions) {
    // One 16 KiB unit: the blank check covers its whole 64 KiB block and the bit count its 32 KiB
    // region, whose upper half is erased flash.
    Start("k3r1");
    const auto plain = Plain(0x4000);
    panel.files.push_back(File("QM005.bin", Container(plain, 0x01, 3)));
    const RunOutcome outcome = Download();
    ASSERT_TRUE(outcome.Succeeded()) << outcome.message;
    EXPECT_EQ(Flash(Dongle().K3r1()->Chip(), 0, plain.size()),
              MakeChainedImage(plain, AgentKey(6)));
}

TEST_F(WorkflowTest, RawImageShorterThanItsChipRowIsPaddedWithErasedFlash) {
    Start("k3r8");
    const auto plain = Plain(100000);  // not a raw-file size: taken as chained already
    panel.files.push_back(File("short.bin", plain));
    panel.selected = 1;  // QL040: 128 KiB
    const RunOutcome outcome = Download();
    ASSERT_TRUE(outcome.Succeeded()) << outcome.message;
    const auto flash = Flash(Dongle().K3r8()->Chip(2), 0, 0x20000);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + 100000, flash.end(), [](auto b) { return b == 0xFF; }));
}

TEST_F(WorkflowTest, RangeFlagAndCarriedOptionBytesReachTheOptionPage) {
    Start("k3r8");
    // An earlier programming left option bytes 227..229 on the chips.
    for (std::size_t c = 0; c < 4; ++c) {
        std::vector<std::uint8_t> old(256, 0xFF);
        old[227] = 0xFF;
        old[228] = 0x0A;
        old[229] = 0x12;
        Dongle().K3r8()->Chip(c).Preload(0x1FFF00, old);
    }
    const auto plain = Plain(0x10000);
    panel.files.push_back(File("range.bin", Container(plain, 0x03, 2, true)));
    ASSERT_TRUE(Download().Succeeded());
    const auto lines = panel.StatusLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "blue:  - 12.0A.FF"), lines.end());
    const auto page = Flash(Dongle().K3r8()->Chip(0), 0x1FFF00, 256);
    EXPECT_EQ(page[227], 0xFF);
    EXPECT_EQ(page[228], 0x0A);
    EXPECT_EQ(page[229], 0x12);
    EXPECT_EQ((std::vector<std::uint8_t>(page.begin() + 198, page.begin() + 204)),
              (std::vector<std::uint8_t>{0x00, 0x04, 0x00, 0x00, 0x04, 0x00}));
}

TEST_F(WorkflowTest, SecondRunSkipsTheFirmwareAndAReplugGetsItAgain) {
    Start("k3r8");
    const std::string file = File("a.bin", Container(Plain(0x8000), 0x02, 4));
    const auto loads = [this] {
        return std::count_if(Dongle().ControlLog().begin(), Dongle().ControlLog().end(),
                             [](const auto& c) { return c.setup.bRequest == 0xA0; });
    };
    panel.files.push_back(file);
    ASSERT_TRUE(Download().Succeeded());
    const auto first = loads();
    EXPECT_GT(first, 0);
    EXPECT_EQ(State().FirmwareLoaded, 1);
    panel.files.push_back(file);
    ASSERT_TRUE(Download().Succeeded());
    EXPECT_EQ(loads(), first);

    // Presence polling clears the flag when it sees the dongle gone.
    Dongle().Unplug();
    Dongle().Plug();
    State().FirmwareLoaded = 0;
    panel.files.push_back(file);
    ASSERT_TRUE(Download().Succeeded());
    EXPECT_GT(loads(), first);
}

TEST_F(WorkflowTest, ChipIndexAboveTheTableCountsAsNone) {
    Start("k3r8");
    panel.files.push_back(File("odd.bin", Container(Plain(0x8000), 0x02, 100)));
    const RunOutcome outcome = Download();
    EXPECT_EQ(outcome.result, RunResult::ChipTypeMissing);
    EXPECT_EQ(panel.Calls("message "), Lines{"Please select the chip type!"});
}

}  // namespace
}  // namespace qdm::test
