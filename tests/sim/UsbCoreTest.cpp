// The dongle at USB level: descriptors, the firmware-load request, CPU hold/release and the
// firmware states, bulk FIFO semantics, cancellation, re-entrant callbacks, plug and unplug.

#include <gtest/gtest.h>

#include "sim/K3r8Board.h"
#include "tests/sim/SimTestSupport.h"

namespace qdm::sim {
namespace {

using test::Bytes;
using test::Exchange;
using test::List;

ControlResult GetDescriptor(VirtualDongle& d, std::uint8_t type, std::uint8_t index,
                            std::uint16_t length, Bytes& out, std::uint16_t language = 0) {
    out.assign(length, 0);
    return d.ControlTransfer(
        {0x80, 6, static_cast<std::uint16_t>(type << 8 | index), language, length}, out);
}

TEST(Descriptors, DeviceDescriptorCarriesIdentity) {
    VirtualDongle dongle;
    Bytes d;
    const auto r = GetDescriptor(dongle, 1, 0, 18, d);
    ASSERT_EQ(r.status, ControlStatus::Ok);
    ASSERT_EQ(r.length, 18U);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], 1);
    EXPECT_EQ(d[2] | d[3] << 8, 0x0200);  // bcdUSB
    EXPECT_EQ(d[7], 64);                  // bMaxPacketSize0
    EXPECT_EQ(d[8] | d[9] << 8, 0x04B4);
    EXPECT_EQ(d[10] | d[11] << 8, 0x1004);
    EXPECT_EQ(d[14], 1);  // manufacturer string
    EXPECT_EQ(d[15], 2);  // product string
    EXPECT_EQ(d[16], 3);  // serial string
    EXPECT_EQ(d[17], 1);  // one configuration
}

TEST(Descriptors, ForeignProductIdIsReported) {
    DongleConfig config;
    config.productId = 0x8613;
    VirtualDongle dongle(config);
    EXPECT_EQ(dongle.DeviceDescriptor()[10] | dongle.DeviceDescriptor()[11] << 8, 0x8613);
}

TEST(Descriptors, ConfigurationReadInTwoSteps) {
    VirtualDongle dongle;
    Bytes head;
    ASSERT_EQ(GetDescriptor(dongle, 2, 0, 9, head).length, 9U);
    const std::uint16_t total = static_cast<std::uint16_t>(head[2] | head[3] << 8);
    ASSERT_EQ(total, 32);
    Bytes c;
    ASSERT_EQ(GetDescriptor(dongle, 2, 0, total, c).length, 32U);
    EXPECT_EQ(c[4], 1);  // bNumInterfaces
    // interface 0, alt 0, two endpoints
    EXPECT_EQ(Bytes(c.begin() + 9, c.begin() + 14), (Bytes{9, 4, 0, 0, 2}));
    // bulk OUT 0x02 then bulk IN 0x86, 512 bytes each
    EXPECT_EQ(Bytes(c.begin() + 18, c.begin() + 25), (Bytes{7, 5, 0x02, 2, 0x00, 0x02, 0}));
    EXPECT_EQ(Bytes(c.begin() + 25, c.begin() + 32), (Bytes{7, 5, 0x86, 2, 0x00, 0x02, 0}));
}

TEST(Descriptors, Strings) {
    DongleConfig config;
    config.serialNumber = "AB1";
    VirtualDongle dongle(config);
    Bytes lang;
    ASSERT_EQ(GetDescriptor(dongle, 3, 0, 255, lang).length, 4U);
    EXPECT_EQ(Bytes(lang.begin(), lang.begin() + 4), (Bytes{4, 3, 0x09, 0x04}));
    Bytes serial;
    ASSERT_EQ(GetDescriptor(dongle, 3, 3, 2, serial, 0x0409).length, 2U);
    EXPECT_EQ(serial[0], 8);  // bLength announced before the full read
    ASSERT_EQ(GetDescriptor(dongle, 3, 3, serial[0], serial, 0x0409).length, 8U);
    EXPECT_EQ(serial, (Bytes{8, 3, 'A', 0, 'B', 0, '1', 0}));
}

TEST(Descriptors, UnknownRequestsStall) {
    VirtualDongle dongle;
    const SetupPacket cases[] = {
        {0x80, 6, 0x0304, 0x0409, 64},  // no string 4
        {0x80, 6, 0x0600, 0, 10},       // device qualifier
        {0x80, 6, 0x0201, 0, 9},        // second configuration
        {0x40, 0xA1, 0, 0, 0},          // other vendor request
        {0x21, 0x09, 0, 0, 0},          // class request
        {0x00, 9, 2, 0, 0},             // configuration 2
    };
    for (const SetupPacket& s : cases) {
        Bytes data(64);
        EXPECT_EQ(dongle.ControlTransfer(s, data).status, ControlStatus::Stall)
            << int(s.bmRequestType) << "/" << int(s.bRequest);
    }
}

TEST(FirmwareLoad, VendorRequestWritesRamAndIsLogged) {
    VirtualDongle dongle;
    const auto r = test::VendorWrite(dongle, 0x1000, {0xAA, 0xBB, 0xCC});
    EXPECT_EQ(r.status, ControlStatus::Ok);
    EXPECT_EQ(r.length, 3U);
    EXPECT_EQ(dongle.Ram()[0x1000], 0xAA);
    EXPECT_EQ(dongle.Ram()[0x1002], 0xCC);
    ASSERT_FALSE(dongle.ControlLog().empty());
    const ControlRecord& last = dongle.ControlLog().back();
    EXPECT_EQ(last.setup, (SetupPacket{0x40, 0xA0, 0x1000, 0, 3}));
    EXPECT_EQ(last.data, (Bytes{0xAA, 0xBB, 0xCC}));

    test::VendorWrite(dongle, 0xFFFF, {0x11, 0x22});  // wraps inside the 64 KiB
    EXPECT_EQ(dongle.Ram()[0xFFFF], 0x11);
    EXPECT_EQ(dongle.Ram()[0x0000], 0x22);

    Bytes back(3);
    EXPECT_EQ(dongle.ControlTransfer({0xC0, 0xA0, 0x1000, 0, 3}, back).length, 3U);
    EXPECT_EQ(back, (Bytes{0xAA, 0xBB, 0xCC}));
}

struct HoldReleaseCase {
    const char* name;
    DongleKind kind;
    bool signature;
    bool hold;
    FirmwareState expected;
    friend void PrintTo(const HoldReleaseCase& c, std::ostream* os) { *os << c.name; }
};

class HoldRelease : public ::testing::TestWithParam<HoldReleaseCase> {};

TEST_P(HoldRelease, EndsInState) {
    const auto& c = GetParam();
    DongleConfig config;
    config.kind = c.kind;
    VirtualDongle dongle(config);
    if (c.hold) test::VendorWrite(dongle, kCpuControlAddress, {0x01});
    if (c.signature)
        test::VendorWrite(dongle, kWriterSignatureAddress,
                          Bytes(kWriterSignature.begin(), kWriterSignature.end()));
    else
        test::VendorWrite(dongle, 0x0000, {0x02, 0x00, 0x80});
    test::VendorWrite(dongle, kCpuControlAddress, {0x00});
    EXPECT_EQ(dongle.State(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, HoldRelease,
    ::testing::Values(HoldReleaseCase{"SignatureStartsWriter", DongleKind::Writer, true, true,
                                      FirmwareState::Writer},
                      HoldReleaseCase{"NoSignatureHalts", DongleKind::Writer, false, true,
                                      FirmwareState::Halted},
                      HoldReleaseCase{"ReleaseWithoutHoldKeepsBoot", DongleKind::Writer, true,
                                      false, FirmwareState::Boot},
                      HoldReleaseCase{"McuRomIgnoresLoad", DongleKind::McuRom, true, true,
                                      FirmwareState::McuRom}),
    test::CaseName());

TEST(FirmwareLoad, HoldAloneHoldsAndAnswersNothing) {
    VirtualDongle dongle;
    test::VendorWrite(dongle, kCpuControlAddress, {0x01});
    EXPECT_EQ(dongle.State(), FirmwareState::Held);
    EXPECT_FALSE(Exchange(dongle, List().Add({0x01, 0x03, 0x02, 0x00}), 4).replied);
}

TEST(FirmwareLoad, HaltedAnswersNothing) {
    VirtualDongle dongle;
    test::LoadFirmware(dongle, {{0x0000, {0x02, 0x00, 0x80}}});
    ASSERT_EQ(dongle.State(), FirmwareState::Halted);
    EXPECT_FALSE(Exchange(dongle, List().Add({0x01, 0x03, 0x02, 0x00}), 4).replied);
    EXPECT_FALSE(Exchange(dongle, List().Add({0x01, 0x02, 0x02, 0x00}), 2).replied);
}

TEST(FirmwareLoad, AnyLoadStartsWriterWhenSignatureNotRequired) {
    DongleConfig config;
    config.writerNeedsSignature = false;
    VirtualDongle dongle(config);
    test::LoadFirmware(dongle, {{0x0000, {0x02, 0x00, 0x80}}});
    EXPECT_EQ(dongle.State(), FirmwareState::Writer);
}

TEST(FirmwareLoad, WriterRestartsAfterSecondLoad) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    test::LoadFirmware(*dongle, StandInFirmwareRecords());
    EXPECT_EQ(dongle->State(), FirmwareState::Writer);
    EXPECT_EQ(test::Reply(*dongle, List().Add({0x01, 0x02, 0x02, 0x00}), 2), (Bytes{0x14, 0x02}));
}

struct BootCase {
    const char* name;
    Bytes list;
    bool replied;
    Bytes reply;
    friend void PrintTo(const BootCase& c, std::ostream* os) { *os << c.name; }
};

class BootFirmwareAnswers : public ::testing::TestWithParam<BootCase> {};

TEST_P(BootFirmwareAnswers, OnlyTheHardwareVersion) {
    const auto& c = GetParam();
    DongleConfig config;
    config.facts.hardwareVersion = {0x05, 0x01, 0x07, 0x00};
    VirtualDongle dongle(config);
    List list;
    for (const std::uint8_t b : c.list)
        list.Add({b});
    const auto r = Exchange(dongle, list, 8);
    EXPECT_EQ(r.replied, c.replied);
    EXPECT_EQ(r.reply, c.reply);
    EXPECT_EQ(dongle.State(), FirmwareState::Boot);
}

INSTANTIATE_TEST_SUITE_P(
    Boot, BootFirmwareAnswers,
    ::testing::Values(
        BootCase{"HardwareVersion", {0x01, 0x03, 0x02, 0x00}, true, {0x05, 0x01, 0x07, 0x00}},
        BootCase{"TwiceInOneList",
                 {0x01, 0x03, 0x02, 0x00, 0x01, 0x03, 0x02, 0x00},
                 true,
                 {0x05, 0x01, 0x07, 0x00, 0x05, 0x01, 0x07, 0x00}},
        BootCase{"IdentityUnknown", {0x01, 0x02, 0x02, 0x00}, false, {}},
        BootCase{"MixedListGetsNothing", {0x01, 0x03, 0x15, 0x00, 0x02, 0x00}, false, {}},
        BootCase{"BoardDetectionUnknown", {0x35, 0xAA, 0x1A, 0x00, 0x15, 0x00}, false, {}}),
    test::CaseName());

TEST(WriterFirmware, AnswersInfoIdentityAndHardwareVersion) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    dongle->SetHardwareVersion({0x05, 0x01, 0x09, 0x00});
    const auto r =
        test::Reply(*dongle, List().Add({0x01, 0x01, 0x01, 0x02, 0x01, 0x03, 0x02, 0x00}), 10);
    const auto& info = dongle->Facts().firmwareInfo;
    EXPECT_EQ(r, (Bytes{info[0], info[1], info[2], info[3], 0x14, 0x02, 0x05, 0x01, 0x09, 0x00}));
}

TEST(McuRomDongle, AnswersHardwareVersionButNeverIdentity) {
    auto dongle = test::McuRomDongle();
    EXPECT_EQ(dongle->State(), FirmwareState::McuRom);
    EXPECT_EQ(test::Reply(*dongle, List().Add({0x01, 0x03, 0x02, 0x00}), 4),
              (Bytes{0x05, 0x01, 0x00, 0x00}));
    EXPECT_FALSE(Exchange(*dongle, List().Add({0x01, 0x02, 0x02, 0x00}), 2).replied);
    test::LoadFirmware(*dongle, StandInFirmwareRecords());
    EXPECT_EQ(dongle->State(), FirmwareState::McuRom);
    EXPECT_TRUE(HoldsWriterSignature(dongle->Ram()));  // the load reached its RAM
    EXPECT_FALSE(Exchange(*dongle, List().Add({0x01, 0x02, 0x02, 0x00}), 2).replied);
}

// --- Bulk ---------------------------------------------------------------------------------------

TEST(BulkFifo, InQueuedBeforeOutCompletesWithTheReply) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    Bytes in(2);
    std::optional<BulkCompletion> done;
    dongle->SubmitBulk(kBulkInEndpoint, in, [&](const BulkCompletion& c) { done = c; });
    EXPECT_FALSE(done);
    EXPECT_EQ(dongle->PendingTransfers(), 1U);
    Bytes out = List().Add({0x01, 0x02, 0x02, 0x00}).Padded();
    std::optional<BulkCompletion> sent;
    dongle->SubmitBulk(kBulkOutEndpoint, out, [&](const BulkCompletion& c) { sent = c; });
    ASSERT_TRUE(done && sent);
    EXPECT_EQ(done->status, BulkStatus::Completed);
    EXPECT_EQ(done->length, 2U);
    EXPECT_EQ(in, (Bytes{0x14, 0x02}));
    EXPECT_EQ(sent->length, 512U);
}

TEST(BulkFifo, InAfterOutTakesWaitingBytesInPieces) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    Bytes out = List().Add({0x01, 0x03, 0x02, 0x00}).Padded();
    dongle->SubmitBulk(kBulkOutEndpoint, out, {});
    EXPECT_EQ(dongle->PendingReplyBytes(), 4U);
    Bytes first(3);
    Bytes second(8);
    std::size_t got1 = 0;
    std::size_t got2 = 0;
    dongle->SubmitBulk(kBulkInEndpoint, first, [&](const BulkCompletion& c) { got1 = c.length; });
    dongle->SubmitBulk(kBulkInEndpoint, second, [&](const BulkCompletion& c) { got2 = c.length; });
    EXPECT_EQ(got1, 3U);
    EXPECT_EQ(got2, 1U);  // a short transfer ends with what was waiting
    EXPECT_EQ(first, (Bytes{0x05, 0x01, 0x00}));
    EXPECT_EQ(second[0], 0x00);
    EXPECT_EQ(dongle->PendingReplyBytes(), 0U);
}

TEST(BulkFifo, ZeroLengthInCompletesAtOnce) {
    VirtualDongle dongle;
    std::optional<BulkCompletion> done;
    dongle.SubmitBulk(kBulkInEndpoint, {}, [&](const BulkCompletion& c) { done = c; });
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, BulkStatus::Completed);
    EXPECT_EQ(done->length, 0U);
}

TEST(BulkFifo, UnknownEndpointStalls) {
    VirtualDongle dongle;
    Bytes buffer(4);
    std::optional<BulkStatus> status;
    dongle.SubmitBulk(0x81, buffer, [&](const BulkCompletion& c) { status = c.status; });
    EXPECT_EQ(status, BulkStatus::Stall);
}

TEST(BulkFifo, PortResetClearsFifoButKeepsFirmwareState) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    test::Reply(*dongle, List().Add({0x35, 0xAA}).Addr(0x32, 0x1234), 0);
    Bytes out = List().Add({0x01, 0x03}).Padded();
    dongle->SubmitBulk(kBulkOutEndpoint, out, {});
    ASSERT_EQ(dongle->PendingReplyBytes(), 4U);
    EXPECT_TRUE(dongle->ResetPort());
    EXPECT_EQ(dongle->PendingReplyBytes(), 0U);
    EXPECT_EQ(dongle->State(), FirmwareState::Writer);
    EXPECT_TRUE(dongle->K3r8()->Selected());
    EXPECT_EQ(dongle->K3r8()->ReadPosition(), 0x1234U);
    EXPECT_EQ(dongle->PortResets(), 1U);
}

TEST(BulkCancel, CancelBulkAndEndpoint) {
    VirtualDongle dongle;
    Bytes a(4);
    Bytes b(4);
    std::vector<BulkStatus> seen;
    const auto record = [&](const BulkCompletion& c) { seen.push_back(c.status); };
    const BulkId ida = dongle.SubmitBulk(kBulkInEndpoint, a, record);
    dongle.SubmitBulk(kBulkInEndpoint, b, record);
    EXPECT_TRUE(dongle.CancelBulk(ida));
    EXPECT_FALSE(dongle.CancelBulk(ida));
    EXPECT_FALSE(dongle.CancelBulk(9999));
    dongle.CancelEndpoint(kBulkInEndpoint);
    EXPECT_EQ(seen, (std::vector<BulkStatus>{BulkStatus::Cancelled, BulkStatus::Cancelled}));
    EXPECT_EQ(dongle.PendingTransfers(), 0U);
}

TEST(BulkReentrancy, CallbackMaySubmitCancelAndUnplug) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    Bytes first(2);
    Bytes second(4);
    Bytes third(4);
    std::vector<std::string> events;
    BulkId thirdId = 0;
    thirdId = dongle->SubmitBulk(kBulkInEndpoint, third, [&](const BulkCompletion& c) {
        events.push_back(c.status == BulkStatus::Cancelled ? "third cancelled" : "third other");
    });
    // Nothing arrives for `third` (it waits behind nothing); the first IN to complete re-enters.
    dongle->CancelBulk(thirdId);
    dongle->SubmitBulk(kBulkInEndpoint, first, [&](const BulkCompletion&) {
        events.push_back("first");
        // Re-enter: queue another IN, which the remaining FIFO bytes complete, then unplug.
        dongle->SubmitBulk(kBulkInEndpoint, second, [&](const BulkCompletion& c) {
            events.push_back(c.status == BulkStatus::Completed ? "second" : "second failed");
            dongle->Unplug();
        });
    });
    Bytes out = List().Add({0x01, 0x02, 0x01, 0x03, 0x02, 0x00}).Padded();
    std::optional<BulkStatus> outStatus;
    dongle->SubmitBulk(kBulkOutEndpoint, out,
                       [&](const BulkCompletion& c) { outStatus = c.status; });
    EXPECT_EQ(events, (std::vector<std::string>{"third cancelled", "first", "second"}));
    EXPECT_EQ(first, (Bytes{0x14, 0x02}));
    EXPECT_EQ(second, (Bytes{0x05, 0x01, 0x00, 0x00}));
    EXPECT_EQ(outStatus, BulkStatus::Completed);  // the list ran before the unplug
    EXPECT_FALSE(dongle->Plugged());
}

// --- Plug and unplug ----------------------------------------------------------------------------

TEST(PlugUnplug, UnplugFailsEverythingAndCompletesPending) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    Bytes in(4);
    std::optional<BulkStatus> status;
    dongle->SubmitBulk(kBulkInEndpoint, in, [&](const BulkCompletion& c) { status = c.status; });
    dongle->Unplug();
    EXPECT_EQ(status, BulkStatus::NoDevice);
    Bytes d(18);
    EXPECT_EQ(dongle->ControlTransfer({0x80, 6, 0x0100, 0, 18}, d).status, ControlStatus::NoDevice);
    std::optional<BulkStatus> late;
    dongle->SubmitBulk(kBulkOutEndpoint, d, [&](const BulkCompletion& c) { late = c.status; });
    EXPECT_EQ(late, BulkStatus::NoDevice);
    EXPECT_FALSE(dongle->ResetPort());
}

TEST(PlugUnplug, ReplugIsAPowerCycleThatKeepsFlash) {
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    const Bytes marker{0x12, 0x34};
    dongle->K3r8()->Chip(2).Preload(0x100, marker);
    test::Reply(*dongle, List().Add({0x35, 0xAA}), 0);
    ASSERT_EQ(dongle->ExchangeCount(), 1U);
    const auto plugs = dongle->PlugCount();
    dongle->Unplug();
    dongle->Plug();
    EXPECT_EQ(dongle->PlugCount(), plugs + 1);
    EXPECT_EQ(dongle->State(), FirmwareState::Boot);
    EXPECT_FALSE(HoldsWriterSignature(dongle->Ram()));
    EXPECT_EQ(dongle->ExchangeCount(), 0U);
    EXPECT_FALSE(dongle->K3r8()->Selected());
    EXPECT_EQ(dongle->K3r8()->Chip(2).ReadByte(0x101), 0x34);
}

TEST(PlugUnplug, StartUnplugged) {
    DongleConfig config;
    config.startPlugged = false;
    VirtualDongle dongle(config);
    EXPECT_FALSE(dongle.Plugged());
    EXPECT_EQ(dongle.PlugCount(), 0U);
    dongle.Plug();
    EXPECT_TRUE(dongle.Plugged());
}

// --- Logs ---------------------------------------------------------------------------------------

TEST(ExchangeLog, RecordsListsAsReceivedAndRepliesAsProduced) {
    auto dongle = test::WriterDongle(BoardKind::K3r1);
    test::Reply(*dongle, List().Add({0x15, 0x00, 0x02, 0x00}), 1);
    ASSERT_EQ(dongle->ExchangeLog().size(), 1U);
    const ExchangeRecord& r = dongle->ExchangeLog()[0];
    EXPECT_EQ(r.index, 1U);
    EXPECT_EQ(r.state, FirmwareState::Writer);
    EXPECT_EQ(r.command.size(), 512U);
    EXPECT_EQ(Bytes(r.command.begin(), r.command.begin() + 4), (Bytes{0x15, 0x00, 0x02, 0x00}));
    EXPECT_EQ(r.reply, (Bytes{0xC1}));
    EXPECT_TRUE(r.delivered);

    dongle->SetExchangeLogEnabled(false);
    test::Reply(*dongle, List().Add({0x15, 0x00}), 1);
    EXPECT_EQ(dongle->ExchangeLog().size(), 1U);
    EXPECT_EQ(dongle->ExchangeCount(), 2U);
    dongle->ClearExchangeLog();
    EXPECT_TRUE(dongle->ExchangeLog().empty());
}

TEST(ControlLog, KeepsOnlyTheNewestRecords) {
    VirtualDongle dongle;
    Bytes d;
    dongle.SetControlLogLimit(3);
    for (std::uint8_t length = 1; length <= 5; ++length)
        GetDescriptor(dongle, 1, 0, length, d);
    ASSERT_EQ(dongle.ControlLog().size(), 3U);
    EXPECT_EQ(dongle.ControlRecordsDropped(), 2U);
    EXPECT_EQ(dongle.ControlLog().front().setup.wLength, 3);
    EXPECT_EQ(dongle.ControlLog().back().setup.wLength, 5);
    EXPECT_EQ(dongle.ControlLog().back().data,
              Bytes(dongle.DeviceDescriptor().begin(), dongle.DeviceDescriptor().begin() + 5));

    dongle.SetControlLogLimit(0);  // the newest record stays
    ASSERT_EQ(dongle.ControlLog().size(), 1U);
    EXPECT_EQ(dongle.ControlLog().back().setup.wLength, 5);
    EXPECT_EQ(dongle.ControlRecordsDropped(), 4U);
}

TEST(ExchangeLog, KeepsTheNewestListsWithinItsByteLimit) {
    auto dongle = test::WriterDongle(BoardKind::K3r1);
    // Each exchange logs a 512-byte list and a one-byte reply.
    dongle->SetExchangeLogLimit(2 * 513);
    for (int i = 0; i < 4; ++i)
        test::Reply(*dongle, List().Add({0x15, 0x00, 0x02, 0x00}), 1);
    ASSERT_EQ(dongle->ExchangeLog().size(), 2U);
    EXPECT_EQ(dongle->ExchangeLog().front().index, 3U);
    EXPECT_EQ(dongle->ExchangeLog().back().index, 4U);
    EXPECT_EQ(dongle->ExchangeLog().back().reply, (Bytes{0xC1}));
    EXPECT_EQ(dongle->ExchangeRecordsDropped(), 2U);

    dongle->SetExchangeLogLimit(0);  // a list larger than the limit is still kept, alone
    test::Reply(*dongle, List().Add({0x15, 0x00, 0x02, 0x00}), 1);
    ASSERT_EQ(dongle->ExchangeLog().size(), 1U);
    EXPECT_EQ(dongle->ExchangeLog().back().index, 5U);
    EXPECT_EQ(dongle->ExchangeLog().back().command.size(), 512U);
}

}  // namespace
}  // namespace qdm::sim
