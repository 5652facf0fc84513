// Lists that outlast the transaction's waits. At a flash's maximum times the K3.r8's four-block
// erase runs 8 s, and its reply comes long after its transaction gave up; it must never be read
// as the reply of a later list, whatever becomes of it. And whole runs with faults at the long
// lists, at the maxima, end as a faulty run must: never with a false OK, never with a misread
// reply.

#include <set>

#include "protocol/LateReplies.h"
#include "sim/TimingProfile.h"
#include "tests/e2e/WorkflowFixture.h"

namespace qdm::test {
namespace {

enum class Fate {
    ComesWhole,    // the reply comes when the erase is done
    NeverComes,    // it is lost
    ComesLonger,   // more bytes come than the list asked for
    ComesShorter,  // fewer
    DongleLeaves,  // the dongle is pulled out while the host waits for it
};

struct Expectation {
    Fate fate;
    const char* name;
    bool nextListSent;  // the dongle is back in a known state and gets the next list
};

const Expectation kFates[] = {
    {Fate::ComesWhole, "ComesWhole", true},      {Fate::NeverComes, "NeverComes", true},
    {Fate::ComesLonger, "ComesLonger", false},   {Fate::ComesShorter, "ComesShorter", false},
    {Fate::DongleLeaves, "DongleLeaves", false},
};

class LateReply : public WorkflowTest, public ::testing::WithParamInterface<Expectation> {
  protected:
    void SetUp() override {
        WorkflowTest::SetUp();
        sim::DongleConfig config = *sim::ConfigForBoard("k3r8");
        config.timing = sim::WorstTiming();
        Start(config);
        SetSleepHook([driver = simulation.driver](std::chrono::milliseconds d) {
            driver->AdvanceClock(static_cast<std::uint64_t>(d.count()));
        });
        ASSERT_TRUE(DownloadFirmware(State().FirmwareText, 0));
        ASSERT_TRUE(R8Enable(1));
    }
    void TearDown() override {
        SetPumpHook(nullptr);
        ForgetLateReplies();
        WorkflowTest::TearDown();
    }
    double Seconds() const {
        return std::chrono::duration<double>(simulation.driver->TimeSource().Now()).count();
    }
};

// The identity query (reply 14 02) after the erase: only what was owed is dropped, only a
// dongle in a known state gets the query, and the query's reply is its own.
TEST_P(LateReply, IsNeverReadAsTheNextListsReply) {
    const Fate fate = GetParam().fate;
    const std::uint64_t erase = Dongle().ExchangeCount() + 1;
    if (fate == Fate::NeverComes) Dongle().NoReplyAtExchange(erase);
    if (fate == Fate::ComesLonger || fate == Fate::ComesShorter) {
        // Longer by exactly what the identity query answers: read as its reply, it would pass.
        Dongle().SetReplyFilter([&](std::uint64_t exchange, std::span<const std::uint8_t>,
                                    std::vector<std::uint8_t>& reply, bool delivered) {
            if (exchange == erase) {
                if (fate == Fate::ComesLonger) reply.insert(reply.end(), {0x14, 0x02});
                if (fate == Fate::ComesShorter) reply.resize(1);
            }
            return delivered ? sim::ReplyAction::Deliver : sim::ReplyAction::Withhold;
        });
    }
    const double start = Seconds();
    EXPECT_FALSE(R8Erase(0x00, 0x04));  // its reply did not come in time
    EXPECT_GT(LateReplyBytes(), 0u);
    if (fate == Fate::DongleLeaves) SetPumpHook([this] { Dongle().Unplug(); });

    const std::uint64_t before = Dongle().ExchangeCount();
    const bool answered = QueryDongleIdentity();
    SetPumpHook(nullptr);
    const bool sent = Dongle().ExchangeCount() > before;
    EXPECT_EQ(sent, GetParam().nextListSent);
    EXPECT_EQ(answered, GetParam().nextListSent);
    EXPECT_EQ(Dongle().MisreadReplies(), 0u);
    EXPECT_EQ(LateReplyBytes(), 0u);
    if (sent) {
        // Not before the erase was over, or given up on.
        EXPECT_GE(Seconds() - start, 4 * 2.0);
        EXPECT_EQ(Dongle().PendingReplyBytes(), 0u);
    }
    // Afterwards the dongle answers as ever.
    if (fate == Fate::DongleLeaves) Dongle().Plug();
    Dongle().SetReplyFilter(nullptr);
    if (fate != Fate::DongleLeaves) {
        EXPECT_TRUE(QueryDongleIdentity());
    }
}

INSTANTIATE_TEST_SUITE_P(Fates, LateReply, ::testing::ValuesIn(kFates),
                         [](const auto& fate) { return std::string(fate.param.name); });

// Faults at each list that outlasts its waits, and at the list behind it, in whole runs at the
// maxima: a run may fail, but with a failure message on its status line, never a success over a
// flash a clean run would not leave, never a reply read as another list's; and after replugging
// the next run ends as a clean one does.
class LongListsAtWorst : public WorkflowTest, public ::testing::WithParamInterface<const char*> {
  protected:
    RunOutcome Run(const std::vector<std::pair<std::uint64_t, sim::ExchangeFault>>& faults) {
        ResetProgramState();
        ForgetLateReplies();
        State().FirmwareText = firmware_;
        panel.Clear();
        panel.files.push_back(file_);
        sim::DongleConfig config = *sim::ConfigForBoard(GetParam());
        config.timing = sim::WorstTiming();
        Start(config);
        SetSleepHook([driver = simulation.driver](std::chrono::milliseconds d) {
            driver->AdvanceClock(static_cast<std::uint64_t>(d.count()));
        });
        for (const auto& [exchange, fault] : faults)
            Dongle().InjectFault(exchange, fault);
        return Download();
    }
    std::vector<std::uint8_t> Flash() {
        const auto chip = Dongle().K3r8()   ? Dongle().K3r8()->Chip(0).Contents()
                          : Dongle().K3r1() ? Dongle().K3r1()->Chip().Contents()
                          : Dongle().Demo() ? Dongle().Demo()->Chip().Contents()
                                            : Dongle().McuRomFlash().Contents();
        return {chip.begin(), chip.end()};
    }

    std::vector<std::uint8_t> firmware_;
    std::string file_;
};

const std::set<std::string> kSuccessEndings = {"Serial Flash Data Verify OK !",
                                               "Flash Verify OK!(0x00)", "Demoboard reset OK!!"};

TEST_P(LongListsAtWorst, FaultsThereEndAsAFaultyRunMust) {
    firmware_ = State().FirmwareText;
    file_ = File("QM010.bin", Container(Plain(0x8000), 0x02, 4));
    const RunOutcome clean = Run({});
    const std::vector<std::uint8_t> reference = Flash();
    std::vector<std::uint64_t> long_;
    for (const sim::ExchangeRecord& e : Dongle().ExchangeLog())
        if (e.work > std::chrono::milliseconds(TransferWaitMs())) long_.push_back(e.index);
    ASSERT_FALSE(long_.empty());

    const sim::ExchangeFault kinds[] = {{sim::FaultKind::NoReply},
                                        {sim::FaultKind::LoseList},
                                        {sim::FaultKind::Unplug},
                                        {sim::FaultKind::CorruptReply, 0, 0xFF},
                                        {sim::FaultKind::CorruptReply, 1, 0x01}};
    int cases = 0;
    for (const std::uint64_t list : long_) {
        for (const std::uint64_t at : {list, list + 1}) {
            for (const sim::ExchangeFault& fault : kinds) {
                const std::string name = std::string(GetParam()) + " list " + std::to_string(at) +
                                         " fault " + std::to_string(static_cast<int>(fault.kind));
                const RunOutcome outcome = Run({{at, fault}});
                EXPECT_EQ(Dongle().MisreadReplies(), 0u) << name;
                EXPECT_EQ(panel.status, outcome.message) << name;
                if (kSuccessEndings.count(outcome.message) != 0) {
                    EXPECT_EQ(Flash(), reference) << name << ": success over another flash";
                } else {
                    EXPECT_FALSE(outcome.Succeeded()) << name;
                }
                ++cases;
            }
        }
    }
    // Replugged and without faults, a run ends as the clean one did.
    const RunOutcome again = Run({});
    EXPECT_EQ(again.message, clean.message);
    EXPECT_EQ(Dongle().MisreadReplies(), 0u);
    RecordProperty("cases", cases);
}

// The boards whose lists outlast the waits at the maxima: the erases. (The demoboard's chip
// erase runs beside short polls; the MCU-ROM's erase outlasts its polls before its long
// programming lists are ever sent.)
INSTANTIATE_TEST_SUITE_P(LongErases, LongListsAtWorst, ::testing::Values("k3r8", "k3r1"),
                         [](const auto& board) { return std::string(board.param); });

}  // namespace
}  // namespace qdm::test
