// What a transaction does when the dongle goes away in the middle of it or does not answer,
// over both USB paths: it fails, leaves nothing open or pending, and the next one works.

#include <gtest/gtest.h>

#include "tests/e2e/OverBothPaths.h"
#include "tests/sim/SimTestSupport.h"

namespace qdm::test {
namespace {

using sim::test::Bytes;
using sim::test::List;

using TransactionFaults = OverBothPaths;

// The identity query as a raw list: 14 02 from the writer firmware.
bool IdentityAnswered() {
    Bytes reply(2);
    return WriterTransaction(List().Add({0x01, 0x02, 0x02, 0x00}).bytes(), reply) &&
           reply == Bytes{0x14, 0x02};
}

TEST_P(TransactionFaults, UnplugDuringATransactionFailsItAndTheDongleIsGone) {
    DongleRig& rig = Start();
    ASSERT_TRUE(DownloadFirmware(FirmwareText(), 0));
    rig.WithDongle([](auto& d) {
        d.ResetExchangeCounter();
        d.UnplugAtExchange(3);
    });
    EXPECT_TRUE(IdentityAnswered());
    EXPECT_TRUE(IdentityAnswered());
    Bytes reply(2, 0xEE);
    EXPECT_FALSE(WriterTransaction(List().Add({0x01, 0x02, 0x02, 0x00}).bytes(), reply));
    EXPECT_EQ(reply, (Bytes{0x00, 0x00}));  // cleared, and nothing arrived
    EXPECT_EQ(rig.OpenHandles(), 0U);
    EXPECT_EQ(rig.PendingRequests(), 0U);

    EXPECT_FALSE(CheckDonglePresence());
    EXPECT_EQ(LastAccessProblem(), DongleAccessProblem::NoDongle);
    EXPECT_FALSE(IdentityAnswered());

    rig.Plug();
    ASSERT_TRUE(CheckDonglePresence());
    ASSERT_TRUE(DownloadFirmware(FirmwareText(), 0));
    EXPECT_TRUE(IdentityAnswered());
}

TEST_P(TransactionFaults, UnplugWhileAReadIsPendingCompletesItWithNoDevice) {
    DongleRig& rig = Start();
    ASSERT_TRUE(DownloadFirmware(FirmwareText(), 0));
    // The list is executed but its reply withheld, so the read still waits when the dongle
    // leaves; the wait then ends at once instead of running out.
    rig.WithDongle([](auto& d) {
        d.ResetExchangeCounter();
        d.NoReplyAtExchange(1);
    });
    SetTransferWaitMs(60'000);
    std::thread unplug;
    if (OverKernel()) {
        unplug = std::thread([&rig] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            rig.Unplug();
        });
    } else {
        rig.Unplug();  // virtual time: the read sees the unplug at its wait
    }
    const auto start = std::chrono::steady_clock::now();
    Bytes reply(2);
    EXPECT_FALSE(WriterTransaction(List().Add({0x01, 0x02, 0x02, 0x00}).bytes(), reply));
    if (unplug.joinable()) unplug.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(rig.OpenHandles(), 0U);
    EXPECT_EQ(rig.PendingRequests(), 0U);
    EXPECT_FALSE(CheckDonglePresence());
}

TEST_P(TransactionFaults, ReplyThatNeverComesTimesOutAndTheReadIsCancelled) {
    DongleRig& rig = Start();
    ASSERT_TRUE(DownloadFirmware(FirmwareText(), 0));
    rig.WithDongle([](auto& d) {
        d.ResetExchangeCounter();
        d.NoReplyAtExchange(1);
    });
    Bytes reply(2, 0xEE);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WriterTransaction(List().Add({0x01, 0x02, 0x02, 0x00}).bytes(), reply));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reply, (Bytes{0x00, 0x00}));
    // The read was cancelled at the dongle, not left to swallow the next reply.
    EXPECT_EQ(rig.WithDongle([](auto& d) { return d.PendingTransfers(); }), 0U);
    EXPECT_EQ(rig.PendingRequests(), 0U);
    EXPECT_EQ(rig.OpenHandles(), 0U);
#if defined(QDM_HAVE_UMOCKDEV)
    if (OverKernel()) {
        EXPECT_GE(elapsed, std::chrono::milliseconds(kRealTimeTransferWaitMs));
        EXPECT_EQ(rig.Emulator()->Counters(0).discarded, 1U);
    }
#endif
    (void)elapsed;
    EXPECT_TRUE(IdentityAnswered());
}

QDM_OVER_BOTH_PATHS(TransactionFaults);

}  // namespace
}  // namespace qdm::test
