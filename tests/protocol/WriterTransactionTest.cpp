#include <gtest/gtest.h>

#include "protocol/Usbfunctions.h"
#include "state/Mainprocess.h"
#include "tests/support/FakeDriver.h"
#include "usb/TransferRequest.h"

namespace qdm {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::FakeDriver;

class WriterTransactionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProgramState();
        driver = std::make_shared<FakeDriver>();
        driver->devices.emplace_back();
        Answer({});
        usb::SetActiveDriver(driver);
    }
    void TearDown() override {
        usb::SetActiveDriver(nullptr);
        ResetProgramState();
    }
    // Every list is answered with `reply` (nullopt: never answered); lists are kept.
    void Answer(std::optional<Bytes> reply) {
        driver->devices[0].onList = [this, reply](std::span<const std::uint8_t> list) {
            lists.emplace_back(list.begin(), list.end());
            return reply;
        };
    }
    std::shared_ptr<FakeDriver> driver;
    std::vector<Bytes> lists;
};

TEST_F(WriterTransactionTest, ListsArePaddedToWhole512ByteBlocks) {
    struct Case {
        std::size_t length;
        std::size_t sent;
    };
    for (const Case c :
         {Case{4, 512}, Case{512, 512}, Case{513, 1024}, Case{16384, 16384}, Case{16388, 16896}}) {
        lists.clear();
        const Bytes command(c.length, 0x5A);
        std::array<std::uint8_t, 1> reply{};
        Answer(Bytes{0x01});
        EXPECT_TRUE(WriterTransaction(command, reply)) << c.length;
        ASSERT_EQ(lists.size(), 1u);
        EXPECT_EQ(lists[0].size(), c.sent);
        EXPECT_TRUE(std::all_of(lists[0].begin(),
                                lists[0].begin() + static_cast<std::ptrdiff_t>(c.length),
                                [](auto b) { return b == 0x5A; }));
        EXPECT_TRUE(std::all_of(lists[0].begin() + static_cast<std::ptrdiff_t>(c.length),
                                lists[0].end(), [](auto b) { return b == 0; }));
    }
}

TEST_F(WriterTransactionTest, TheReadIsQueuedBeforeTheListGoesOut) {
    Answer(Bytes{0x14, 0x02});
    std::array<std::uint8_t, 2> reply{};
    ASSERT_TRUE(WriterTransaction(Bytes{0x01, 0x02, 0x02, 0x00}, reply));
    const auto transfers = driver->CallsWith(usb::ioctl::DirectTransfer);
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].header.EndpointAddress, 0x86);
    EXPECT_EQ(transfers[1].header.EndpointAddress, 0x02);
    EXPECT_EQ(driver->eventsCreated, 2);               // its own pair, never shared
    EXPECT_EQ(driver->openCount, driver->closeCount);  // nothing stays open
}

TEST_F(WriterTransactionTest, FailuresAreReportedAndTheReplyIsCleared) {
    std::array<std::uint8_t, 4> reply{};

    reply.fill(0xEE);
    Answer(Bytes{0x05, 0x01});  // two of four bytes
    EXPECT_FALSE(WriterTransaction(Bytes{0x01, 0x03, 0x02, 0x00}, reply));
    EXPECT_EQ(reply, (std::array<std::uint8_t, 4>{0x05, 0x01, 0, 0}));

    reply.fill(0xEE);
    Answer(std::nullopt);  // no answer at all: the read is cancelled, not left pending
    EXPECT_FALSE(WriterTransaction(Bytes{0x01, 0x03, 0x02, 0x00}, reply));
    EXPECT_EQ(reply, (std::array<std::uint8_t, 4>{}));
    EXPECT_EQ(driver->CallsWith(usb::ioctl::AbortPipe).size(), 1u);
    EXPECT_EQ(driver->waitedMs, 2000u);

    reply.fill(0xEE);
    driver->devices.clear();
    EXPECT_FALSE(WriterTransaction(Bytes{0x01, 0x03, 0x02, 0x00}, reply));
    EXPECT_EQ(reply, (std::array<std::uint8_t, 4>{}));
}

TEST_F(WriterTransactionTest, AReadTheDriverNeverEndsIsGivenUpWithoutHangingOrLateWrites) {
    Answer(std::nullopt);
    driver->abortsNeverComplete = true;
    // On the heap, so that a late write into it after the transaction is a use after free.
    auto reply = std::make_unique<std::array<std::uint8_t, 4>>();
    EXPECT_FALSE(WriterTransaction(Bytes{0x01, 0x03, 0x02, 0x00}, *reply));
    EXPECT_EQ(driver->hangs, 0u);
    EXPECT_LE(driver->waitedMs, kTransferWaitMs + usb::kAbortedTransferWaitMs);
    EXPECT_EQ(*reply, (std::array<std::uint8_t, 4>{}));
    reply.reset();
    driver->CompleteStuckTransfers();  // writes only into memory the driver was given to keep
}

TEST_F(WriterTransactionTest, ADongleWithoutBulkInCannotTransact) {
    driver->devices[0].configurations = {test::ConfigSet(
        {test::InterfaceDescriptor(0, 0, 1), test::EndpointDescriptor(0x02, 2)}, 1)};
    std::array<std::uint8_t, 1> reply{};
    EXPECT_FALSE(WriterTransaction(Bytes{0x02, 0x00}, reply));
    EXPECT_TRUE(lists.empty());
}

TEST_F(WriterTransactionTest, ExchangeResetsTheListAndNeedsRoomForTheReply) {
    CommandList list;
    list.OP_INFO(3);
    list.OP_END_GROUP();
    std::array<std::uint8_t, 3> small{};
    EXPECT_FALSE(Exchange(list, small));
    EXPECT_EQ(list.Counters().bytesWritten, 0);
    EXPECT_TRUE(lists.empty());
}

TEST_F(WriterTransactionTest, IdentityQuery) {
    struct Case {
        std::optional<Bytes> reply;
        bool writer;
    };
    const std::vector<Case> cases = {{Bytes{0x14, 0x02}, true},  {Bytes{0x14, 0x07}, true},
                                     {Bytes{0x14, 0x01}, false}, {Bytes{0x13, 0x05}, false},
                                     {Bytes{0x14}, false},       {std::nullopt, false}};
    for (const Case& c : cases) {
        lists.clear();
        driver->calls.clear();
        Answer(c.reply);
        EXPECT_EQ(QueryDongleIdentity(), c.writer);
        ASSERT_EQ(lists.size(), 1u);
        EXPECT_EQ(Bytes(lists[0].begin(), lists[0].begin() + 4), (Bytes{0x01, 0x02, 0x02, 0x00}));
        EXPECT_EQ(driver->CallsWith(usb::ioctl::ResetPort).size(), 1u);  // reset in every case
    }
}

TEST_F(WriterTransactionTest, HardwareVersionQueryPassesTheBytesOn) {
    Answer(Bytes{0x05, 0x01, 0x07, 0x00});
    std::array<std::uint8_t, 4> version{};
    EXPECT_TRUE(QueryHardwareVersion(version));
    EXPECT_EQ(version, (std::array<std::uint8_t, 4>{0x05, 0x01, 0x07, 0x00}));
    EXPECT_EQ(Bytes(lists[0].begin(), lists[0].begin() + 4), (Bytes{0x01, 0x03, 0x02, 0x00}));

    Answer(std::nullopt);
    version.fill(0xEE);
    EXPECT_FALSE(QueryHardwareVersion(version));
    EXPECT_EQ(version, (std::array<std::uint8_t, 4>{0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(WriterTransactionTest, ClientBoardDetection) {
    const std::vector<std::pair<std::optional<Bytes>, std::uint8_t>> cases = {
        {Bytes{0x3F}, 1}, {Bytes{0x00}, 1}, {Bytes{0x40}, 0}, {Bytes{0xC1}, 2},
        {Bytes{0x81}, 3}, {Bytes{0xC0}, 0}, {std::nullopt, 0}};
    for (const auto& [reply, kind] : cases) {
        lists.clear();
        Answer(reply);
        EXPECT_EQ(DetectClientBoard(), kind);
        ASSERT_EQ(lists.size(), 1u);
        EXPECT_EQ(Bytes(lists[0].begin(), lists[0].begin() + 10),
                  (Bytes{0x35, 0xAA, 0x1A, 0x00, 0x15, 0x00, 0x35, 0x55, 0x02, 0x00}));
    }
}

TEST_F(WriterTransactionTest, PresenceTexts) {
    EXPECT_TRUE(CheckDonglePresence());
    EXPECT_EQ(State().DetectedVID, "0x04B4");
    EXPECT_EQ(State().DetectedPID, "0x1004");

    driver->devices[0].deviceDescriptor = test::DeviceDescriptorBytes(0x04B4, 0x8613, 1);
    EXPECT_TRUE(CheckDonglePresence());
    EXPECT_EQ(State().DetectedPID, "0x8613");

    driver->devices.clear();
    State().DetectedVID = "kept";
    EXPECT_FALSE(CheckDonglePresence());
    EXPECT_EQ(State().DetectedVID, "kept");
    EXPECT_FALSE(ResetDonglePort());
}

}  // namespace
}  // namespace qdm
