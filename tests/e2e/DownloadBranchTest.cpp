// The ways a download run can end early, each with its message, its colour and the state it
// leaves behind.

#include <algorithm>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "state/SafeFile.h"
#include "tests/e2e/WorkflowFixture.h"
#include "workflows/DemoboardReset.h"
#include "workflows/DongleCheck.h"

namespace qdm::test {
namespace {

using Lines = std::vector<std::string>;

class DownloadBranchTest : public WorkflowTest {
  protected:
    // A 32 KiB QM010 container whose chip index preselects the chip type.
    std::string SmallContainer() { return File("QM010.bin", Container(Plain(0x8000), 0x02, 4)); }

    void ExpectIdle() {
        EXPECT_EQ(State().OperationBusy, 0);
        EXPECT_TRUE(panel.controlsEnabled);
    }
    // The list the dongle received last, without its padding.
    std::vector<std::uint8_t> LastList(std::size_t bytes) {
        const auto& log = Dongle().ExchangeLog();
        const auto& command = log.back().command;
        return {command.begin(), command.begin() + static_cast<std::ptrdiff_t>(bytes)};
    }
    bool Shown(const std::string& line) {
        const auto lines = panel.StatusLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

TEST_F(DownloadBranchTest, NoDongle) {
    sim::DongleConfig config = *sim::ConfigForBoard("k3r8");
    config.startPlugged = false;
    Start(config);
    const RunOutcome outcome = Download();
    EXPECT_EQ(outcome.result, RunResult::NoDongle);
    EXPECT_EQ(panel.calls, Lines{"message USB Not Found!!"});
    EXPECT_EQ(State().OperationBusy, 0);
}

TEST_F(DownloadBranchTest, HardwareVersionAndFirmwareFailuresAreRed) {
    struct Case {
        const char* name;
        std::function<void(DownloadBranchTest&)> arrange;
        const char* line;
        RunResult result;
    };
    const std::vector<Case> cases = {
        {"query fails", [](auto& t) { t.Dut().NoReplyAtExchange(1); },
         "red: USB Dongle hardware version error!", RunResult::DongleError},
        {"04 01 xx 00",
         [](auto& t) {
             t.Dut().SetHardwareVersion({0x04, 0x01, 0x07, 0x00});
         },
         "red: USB Dongle hardware version error!", RunResult::DongleError},
        {"05 01 xx 01",
         [](auto& t) {
             t.Dut().SetHardwareVersion({0x05, 0x01, 0x07, 0x01});
         },
         "red: USB Dongle hardware version error!", RunResult::DongleError},
        {"no firmware file", [](auto&) { State().FirmwareText.clear(); },
         "red: USB Dongle firmware download fail!", RunResult::FirmwareError},
    };
    for (const Case& c : cases) {
        SetUp();
        panel.Clear();
        Start("k3r8");
        c.arrange(*this);
        const RunOutcome outcome = Download();
        EXPECT_EQ(outcome.result, c.result) << c.name;
        EXPECT_EQ(panel.StatusLines(), Lines{c.line}) << c.name;
        EXPECT_EQ(panel.Calls("controls "), (Lines{"off", "on"})) << c.name;
        ExpectIdle();
        EXPECT_EQ(State().FirmwareLoaded, 0);
    }
}

TEST_F(DownloadBranchTest, OnWindows7TheFirmwareIsLeftToTheDriver) {
    Start("k3r8");
    LoadWriterFirmware();  // what the vendor driver does there
    State().FirmwareLoaded = 0;
    Dongle().ClearControlLog();
    Dongle().ResetExchangeCounter();
    SetWindows7Condition(true);
    panel.files.push_back(SmallContainer());
    const RunOutcome outcome = Download();
    SetWindows7Condition(std::nullopt);
    ASSERT_TRUE(outcome.Succeeded()) << outcome.message;
    // No hardware version query: the first list is the identity query.
    EXPECT_EQ(Dongle().ExchangeLog().front().command[0], 0x01);
    EXPECT_EQ(Dongle().ExchangeLog().front().command[1], 0x02);
    for (const auto& c : Dongle().ControlLog())
        EXPECT_NE(c.setup.bRequest, 0xA0);
    EXPECT_EQ(State().FirmwareLoaded, 0);
}

TEST_F(DownloadBranchTest, NoKnownBoard) {
    Start("k3r8");
    Dongle().SetBoardIdOverride(0x40);
    panel.files.push_back(SmallContainer());
    const RunOutcome outcome = Download();
    EXPECT_EQ(outcome.result, RunResult::NoBoard);
    EXPECT_EQ(panel.StatusLines(), (Lines{"blue: USB Dongle Connected!, Client Board: None/Error",
                                          "blue: No Avaliable client board found!!"}));
    EXPECT_EQ(panel.label, "None / Error / ROM Version RV24");
    ExpectIdle();
}

TEST_F(DownloadBranchTest, BusyBoards) {
    struct Case {
        const char* board;
        bool fast;
        const char* line;
        std::vector<std::uint8_t> switchOff;  // the last list, or empty when none follows
    };
    const std::vector<Case> cases = {
        {"k3r8", false, "blue: Writer Busy !!", {0x35, 0x55, 0x1A, 0x08}},
        {"k3r1", false, "blue: Writer Busy !!", {0x55, 0x55, 0x1A, 0x00}},
        {"demoboard", false, "blue: Demoboard Busy !!", {0x1A, 0x00, 0x1B, 0x00, 0x11, 0x20}},
        {"k3r8", true, "blue: Writer Busy !!", {}},
    };
    for (const Case& c : cases) {
        SetUp();
        panel.Clear();
        Start(c.board);
        Dongle().SetBoardBusy(true);
        panel.files.push_back(SmallContainer());
        if (c.fast) LoadWriterFirmware();
        const RunOutcome outcome = Download(c.fast);
        EXPECT_EQ(outcome.result, RunResult::BoardBusy) << c.board;
        EXPECT_EQ(panel.StatusLines().back(), c.line) << c.board;
        if (!c.switchOff.empty()) {
            EXPECT_EQ(LastList(c.switchOff.size()), c.switchOff) << c.board;
        }
        ExpectIdle();
    }
}

TEST_F(DownloadBranchTest, RawImageNeedsAChipTypeOnAWriterBoard) {
    Start("k3r8");
    panel.files.push_back(File("raw.bin", MakeRawFileImage(Plain(0x8000), AgentKey(6)).value()));
    const RunOutcome outcome = Download();
    EXPECT_EQ(outcome.result, RunResult::ChipTypeMissing);
    EXPECT_EQ(panel.Calls("message "), Lines{"Please select the chip type!"});
    ExpectIdle();
}

TEST_F(DownloadBranchTest, OneChipThatWillNotEraseIsProgrammedAndCaughtByTheVerify) {
    Start("k3r8");
    sim::K3r8Board& board = *Dongle().K3r8();
    board.Chip(1).Preload(0, std::vector<std::uint8_t>(16, 0x00));
    board.Chip(1).SetEraseFault(sim::EraseFault::Silent);
    panel.files.push_back(SmallContainer());
    const RunOutcome outcome = Download();
    EXPECT_EQ(outcome.result, RunResult::Verify);
    EXPECT_TRUE(Shown("blue: Serial Flash Blank Check OK!!"));
    EXPECT_EQ(panel.StatusLines().back(), "blue: S-Flash Chip 2 Verify Fail!!");
    EXPECT_EQ(LastList(2), (std::vector<std::uint8_t>{0x35, 0x55}));  // switched off
    ExpectIdle();
}

TEST_F(DownloadBranchTest, NoChipBlankStopsBeforeProgramming) {
    Start("k3r8");
    for (std::size_t c = 0; c < 4; ++c) {
        Dongle().K3r8()->Chip(c).Preload(0, std::vector<std::uint8_t>(16, 0x00));
        Dongle().K3r8()->Chip(c).SetEraseFault(sim::EraseFault::Silent);
    }
    panel.files.push_back(SmallContainer());
    const RunOutcome outcome = Download();
    EXPECT_EQ(outcome.result, RunResult::BlankCheck);
    EXPECT_EQ(panel.StatusLines().back(), "blue: S-Flash Chip 1,2,3,4 Blank Check Fail!!");
    EXPECT_FALSE(Shown("blue: Serial Flash Page Programming OK!!"));
    ExpectIdle();
}

// The option bytes carried over the erase come from one block read; a lost or damaged reply to
// it must stop the run before the erase instead of writing made-up bytes into every new option
// page (and from there into every later run's).
TEST_F(DownloadBranchTest, AnUntrustworthyOptionBlockReadStopsBeforeTheErase) {
    struct Case {
        const char* board;
        std::uint64_t exchange;  // of the first block read, the writer firmware loaded
        sim::ExchangeFault fault;
    };
    constexpr std::size_t kCarried227 = 256 + 227;  // in the block of chip 1
    const std::vector<Case> cases = {
        {"k3r8", 5, {sim::FaultKind::NoReply}},
        {"k3r8", 5, {sim::FaultKind::CorruptReply, 4 * kCarried227, 0xFF}},
        {"k3r8", 6, {sim::FaultKind::CorruptReply, 4 * (kCarried227 + 2), 0x01}},
        {"k3r1", 6, {sim::FaultKind::NoReply}},
        {"k3r1", 6, {sim::FaultKind::CorruptReply, kCarried227, 0xFF}},
        {"k3r1", 7, {sim::FaultKind::CorruptReply, kCarried227 + 1, 0x80}},
    };
    for (const Case& c : cases) {
        SetUp();
        panel.Clear();
        Start(c.board);
        LoadWriterFirmware();
        panel.files.push_back(SmallContainer());
        Dongle().InjectFault(c.exchange, c.fault);
        const RunOutcome outcome = Download();
        EXPECT_EQ(outcome.result, RunResult::IdCheck) << c.board << " " << c.exchange;
        EXPECT_EQ(panel.StatusLines().back(), "blue: Serial-Flash ID Check fail!!") << c.board;
        EXPECT_FALSE(Shown("blue: Erase and Blank Check!")) << c.board;
        const sim::SerialFlash& chip =
            Dongle().K3r8() ? Dongle().K3r8()->Chip(0) : Dongle().K3r1()->Chip();
        EXPECT_EQ(chip.BlocksErased(), 0u) << c.board;
        EXPECT_EQ(chip.PagesProgrammed(), 0u) << c.board;
        ExpectIdle();
    }
}

TEST_F(DownloadBranchTest, DataAndOptionVerifyFailures) {
    struct Case {
        const char* board;
        std::uint32_t address;  // of a bit stuck at the wrong value
        std::uint8_t bit;
        bool value;
        const char* line;
    };
    // The image byte at 0x100 and option byte 252 (chip code 0x02) both hold a clear bit 7.
    const std::vector<Case> cases = {
        {"k3r1", 0x100, 7, true, "blue: Serial Flash Data Verify Fail !(DATA)"},
        {"demoboard", 0x100, 7, true, "blue: Serial Flash Data Verify Fail !(DATA)"},
        {"k3r1", 0x1FFF00 + 252, 7, true, "blue: Serial Flash Data Verify Fail!(SYSOpt)"},
        {"k3r8", 0x1FFF00 + 252, 7, true, "blue: S-Flash Chip 3 Data Verify Fail !(SYSOpt-USB)"},
        {"k3r8", 0x100, 7, true, "blue: S-Flash Chip 3 Verify Fail!!"},
    };
    for (const Case& c : cases) {
        SetUp();
        panel.Clear();
        Start(c.board);
        std::vector<std::uint8_t> plain = Plain(0x8000);
        // Bit 7 at 0x100 clear in the plain image and in its chained form (which takes bit 6
        // of the byte before it into bit 7).
        plain[0x100] &= 0x7F;
        plain[0xFF] &= 0xBF;
        panel.files.push_back(File("QM010.bin", Container(plain, 0x02, 4)));
        sim::SerialFlash& chip = Dongle().K3r8()   ? Dongle().K3r8()->Chip(2)
                                 : Dongle().K3r1() ? Dongle().K3r1()->Chip()
                                                   : Dongle().Demo()->Chip();
        chip.AddStuckBit({c.address, c.bit, c.value});
        const RunOutcome outcome = Download();
        EXPECT_EQ(outcome.result, RunResult::Verify) << c.board << " " << c.line;
        EXPECT_EQ(panel.StatusLines().back(), c.line);
        ExpectIdle();
    }
}

TEST_F(DownloadBranchTest, CancelOnTheDemoboardStillResetsIt) {
    Start("demoboard");
    const RunOutcome outcome = Download();
    EXPECT_EQ(outcome.result, RunResult::Cancelled);
    EXPECT_EQ(panel.StatusLines(),
              (Lines{"blue: USB Dongle Connected!, Client Board: Speech OTP Demoboard",
                     "blue: Demoboard resetting!!", "blue: Demoboard reset OK!!"}));
    EXPECT_FALSE(Dongle().Demo()->Held());
    EXPECT_EQ(panel.Calls("wait "), (Lines{"1000", "1000"}));
    ExpectIdle();
}

// A file a run cannot program ends it red before anything is erased: one that cannot be read
// (a FIFO would have held the window up for ever), and an image larger than its chip type or
// the flash, which would wrap round onto its own start, and a file the program writes, as the
// window's trace or run log.
TEST_F(DownloadBranchTest, UnusableRomFileEndsRedBeforeAnyErase) {
    const std::filesystem::path fifo = folder / "fifo";
#if !defined(_WIN32)
    ::mkfifo(fifo.c_str(), 0600);
#endif
    const std::string written = File("QM010.log", Container(Plain(0x8000), 0x02, 4));
    ClaimOutputs({written});
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"demoboard", (folder / "missing.bin").string()},
        {"demoboard", fifo.string()},
        {"k3r8", File("QM010.bin", Container(Plain(0x10000), 0x02, 4))},
        {"k3r1", File("QL020.bin", Container(Plain(0x400000), 0x03, 2))},
        {"demoboard", File("raw.bin", Plain(0x400000))},
        {"k3r1", written},
    };
    for (const auto& [board, file] : cases) {
        panel.Clear();
        State().FirmwareLoaded = 0;
        Start(board);
        panel.files.push_back(file);
        const RunOutcome outcome = Download();
        EXPECT_EQ(outcome.result, RunResult::FileError) << file << ": " << outcome.message;
        EXPECT_EQ(panel.colour, StatusColour::Red) << file;
        EXPECT_FALSE(Shown("blue: Erase and Blank Check!")) << file;
        EXPECT_EQ(panel.status, outcome.message) << file;  // the failure is what stays
        if (std::string(board) == "demoboard") {
            EXPECT_TRUE(Shown("blue: Demoboard reset OK!!")) << file;  // released all the same
        }
        ExpectIdle();
    }
    ClaimOutputs({});
}

TEST_F(DownloadBranchTest, AFailureInsideTheRunEndsItRed) {
    Start("k3r8");
    panel.files.push_back(File("raw.bin", Plain(0x8000)));
    panel.selected = 40;  // a combo box item the chip table has no row for
    const RunOutcome outcome = Download();
    EXPECT_EQ(outcome.result, RunResult::Failed);
    EXPECT_EQ(panel.colour, StatusColour::Red);
    ExpectIdle();
}

TEST_F(DownloadBranchTest, DemoboardResetButton) {
    Start("k3r8");
    LoadWriterFirmware();
    Btn_DBRstClick(panel);
    EXPECT_TRUE(panel.StatusLines().empty());  // a writer board is left alone, silently
    ExpectIdle();

    SetUp();
    panel.Clear();
    Start("demoboard");
    LoadWriterFirmware();
    Btn_DBRstClick(panel);
    EXPECT_EQ(panel.StatusLines(),
              (Lines{"blue: Demoboard resetting!!", "blue: Demoboard reset OK!!"}));
    ExpectIdle();

    SetUp();
    panel.Clear();
    Start("k3r8");
    LoadWriterFirmware();
    Dongle().SetBoardIdOverride(0x40);
    Btn_DBRstClick(panel);
    EXPECT_EQ(panel.StatusLines(), Lines{"blue: No Avaliable client board found!!"});
}

}  // namespace
}  // namespace qdm::test
