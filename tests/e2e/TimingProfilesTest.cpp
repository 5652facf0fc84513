// Every flow on every board with the virtual dongle at the datasheets' figures, on the virtual
// clock. At the typical figures each flow passes and sends the very lists, and gets the very
// replies, of a dongle that answers at once. At the maxima a flow may fail, but only with the
// message of the stage that took too long, and no reply is ever read as another list's.

#include <set>

#include "sim/TimingProfile.h"
#include "tests/e2e/WorkflowFixture.h"
#include "workflows/DemoboardReset.h"

namespace qdm::test {
namespace {

enum class Flow { Download, Fast, DemoboardReset };

const std::set<std::string> kSuccessEndings = {"Serial Flash Data Verify OK !",
                                               "Flash Verify OK!(0x00)", "Demoboard reset OK!!"};

struct Case {
    const char* board;
    Flow flow;
    const char* worstEnding;  // the last status message at the maxima
};

// At the maxima the K3.r1's one-block erase outlasts the transaction's wait, and its result is
// judged; the K3.r8 judges its erase by the blank check, which passes once the late replies are
// read. The MCU-ROM's chip erase outlasts its polls.
const Case kCases[] = {
    {"k3r8", Flow::Download, "Serial Flash Data Verify OK !"},
    {"k3r1", Flow::Download, "Chip Erase fail!"},
    {"demoboard", Flow::Download, "Demoboard reset OK!!"},
    {"mcurom", Flow::Download, "Flash Erased Fail!!(0x00)"},
    {"k3r8", Flow::Fast, "Serial Flash Data Verify OK !"},
    {"k3r1", Flow::Fast, "Chip Erase fail!"},
    {"demoboard", Flow::Fast, "Serial Flash Data Verify OK !"},
    {"demoboard", Flow::DemoboardReset, "Demoboard reset OK!!"},
};

std::string Name(const ::testing::TestParamInfo<Case>& info) {
    const char* flow = info.param.flow == Flow::Download ? "Download"
                       : info.param.flow == Flow::Fast   ? "Fast"
                                                         : "Reset";
    return std::string(info.param.board) + "_" + flow;
}

struct Ran {
    std::string ending;
    std::deque<sim::ExchangeRecord> exchanges;
    std::vector<std::uint8_t> flash;
    std::uint64_t misreads = 0;
    double seconds = 0;
    sim::TimeLedger ledger;
};

// The lists of a run with each series of the same list (a flash polled until done) as one.
struct Sent {
    std::vector<std::uint8_t> command;
    std::vector<std::uint8_t> reply;
    bool once = true;
};

std::vector<Sent> Polled(const std::deque<sim::ExchangeRecord>& exchanges) {
    std::vector<Sent> sent;
    for (const sim::ExchangeRecord& e : exchanges) {
        if (!sent.empty() && sent.back().command == e.command) {
            sent.back().once = false;
            continue;
        }
        sent.push_back({e.command, e.reply, true});
    }
    return sent;
}

class TimingProfiles : public WorkflowTest, public ::testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        WorkflowTest::SetUp();
        firmware_ = State().FirmwareText;
    }

    Ran Run(const sim::TimingProfile& timing) {
        const Case c = GetParam();
        ResetProgramState();
        State().FirmwareText = firmware_;
        panel.Clear();
        sim::DongleConfig config = *sim::ConfigForBoard(c.board);
        config.timing = timing;
        Start(config);
        // Waits let the dongle's time pass, as they do in the programs.
        SetSleepHook([driver = simulation.driver](std::chrono::milliseconds d) {
            driver->AdvanceClock(static_cast<std::uint64_t>(d.count()));
        });
        // A 32 KiB QM010 image.
        panel.files.push_back(File("QM010.bin", Container(Plain(0x8000), 0x02, 4)));
        if (c.flow == Flow::Download) {
            Download();
        } else if (c.flow == Flow::Fast) {
            LoadWriterFirmware();
            Download(true);
        } else {
            LoadWriterFirmware();
            Btn_DBRstClick(panel);
        }
        Ran ran;
        ran.ending = panel.status;
        ran.exchanges = Dongle().ExchangeLog();
        const auto chip = Dongle().K3r8()   ? Dongle().K3r8()->Chip(3).Contents()
                          : Dongle().K3r1() ? Dongle().K3r1()->Chip().Contents()
                          : Dongle().Demo() ? Dongle().Demo()->Chip().Contents()
                                            : Dongle().McuRomFlash().Contents();
        ran.flash.assign(chip.begin(), chip.end());
        ran.misreads = Dongle().MisreadReplies();
        ran.seconds = std::chrono::duration<double>(simulation.driver->TimeSource().Now()).count();
        ran.ledger = Dongle().Ledger();
        return ran;
    }

    std::vector<std::uint8_t> firmware_;
};

TEST_P(TimingProfiles, TypicalChangesNothingButTimeAndTheMaximaEndRightly) {
    const Ran zero = Run(sim::ZeroTiming());
    ASSERT_EQ(kSuccessEndings.count(zero.ending), 1u) << zero.ending;

    // Only how often a busy flash is polled may differ.
    const Ran typical = Run(sim::TypicalTiming());
    EXPECT_EQ(typical.ending, zero.ending);
    const auto expected = Polled(zero.exchanges);
    const auto got = Polled(typical.exchanges);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(got[i].command, expected[i].command) << "list " << i + 1;
        if (got[i].once && expected[i].once) {
            EXPECT_EQ(got[i].reply, expected[i].reply) << "list " << i + 1;
        }
    }
    EXPECT_EQ(typical.flash, zero.flash);
    EXPECT_EQ(typical.misreads, 0u);
    // A run cannot be quicker than the bus and the flash work the lists wait for.
    const sim::TimeLedger& l = typical.ledger;
    const auto busy = l.flashWork - l.flashBeside + l.bulkWire + l.controlWire + l.portResets;
    EXPECT_GE(typical.seconds, std::chrono::duration<double>(busy).count() * 0.99);

    const Ran worst = Run(sim::WorstTiming());
    EXPECT_EQ(worst.ending, GetParam().worstEnding);
    EXPECT_EQ(worst.misreads, 0u);
    // Nothing passes for success over a flash the run did not write.
    if (kSuccessEndings.count(worst.ending) != 0) {
        EXPECT_EQ(worst.flash, zero.flash);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryFlow, TimingProfiles, ::testing::ValuesIn(kCases), Name);

// The demoboard's chip erase is polled at most 12,000 times. However quick an exchange is (here
// the bus costs nothing at all), the polls outlast a chip erase of its typical 5 s.
class QuickExchanges : public WorkflowTest {};

TEST_F(QuickExchanges, TheDemoboardsChipEraseIsWaitedFor) {
    sim::DongleConfig config = *sim::ConfigForBoard("demoboard");
    config.timing.name = "chip erase only";
    config.timing.chipErase = sim::TypicalTiming().chipErase;
    Start(config);
    SetSleepHook([driver = simulation.driver](std::chrono::milliseconds d) {
        driver->AdvanceClock(static_cast<std::uint64_t>(d.count()));
    });
    panel.files.push_back(File("QM010.bin", Container(Plain(0x8000), 0x02, 4)));
    const RunOutcome outcome = Download();
    EXPECT_TRUE(outcome.Succeeded()) << outcome.message;
}

}  // namespace
}  // namespace qdm::test
