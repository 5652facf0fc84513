// A whole 256 KiB K3.r8 download through the driver adapter, exchanged the way the host's
// transaction does it (IN queued first, events, waits, results), then read back from all four
// chips. It also shows the model is fast enough to run such downloads in every test run.

#include <gtest/gtest.h>

#include <chrono>

#include "sim/K3r8Board.h"
#include "sim/Simulation.h"
#include "tests/sim/SimTestSupport.h"

namespace qdm::sim {
namespace {

using test::Bytes;
using test::List;

class Transactions {
  public:
    explicit Transactions(VirtualDriver& driver) : driver_(driver) {}

    // True when both transfers completed and the reply has the expected length.
    bool Exchange(const List& list, Bytes& reply) {
        const auto paths = driver_.PresentInterfaces(usb::DriverInterfaceGuid);
        if (paths.empty()) return false;
        std::uint32_t err = 0;
        const usb::Handle h = driver_.OpenDevice(paths[0], err);
        if (h == usb::InvalidHandle) return false;
        usb::Event outEvent(driver_);
        usb::Event inEvent(driver_);
        usb::Overlapped outOv{outEvent.handle(), 0};
        usb::Overlapped inOv{inEvent.handle(), 0};
        usb::TransferRequest in;
        in.EndpointAddress = kBulkInEndpoint;
        usb::TransferRequest out;
        out.EndpointAddress = kBulkOutEndpoint;
        Bytes inHeader = test::Header(in);
        Bytes outHeader = test::Header(out);
        Bytes padded = list.Padded();
        driver_.DeviceIoControl(h, usb::ioctl::DirectTransfer, inHeader, reply, &inOv);
        driver_.DeviceIoControl(h, usb::ioctl::DirectTransfer, outHeader, padded, &outOv);
        driver_.WaitForEvent(outEvent.handle(), 2000);
        driver_.WaitForEvent(inEvent.handle(), 2000);
        const auto o = driver_.GetOverlappedResult(h, outOv, false);
        auto i = driver_.GetOverlappedResult(h, inOv, false);
        if (i.error == usb::error::IoIncomplete) {
            std::uint8_t address = kBulkInEndpoint;
            driver_.DeviceIoControl(h, usb::ioctl::AbortPipe, std::span(&address, 1), {}, nullptr);
            i = driver_.GetOverlappedResult(h, inOv, true);
        }
        driver_.CloseDevice(h);
        return o.ok && i.ok && i.bytes == reply.size();
    }

  private:
    VirtualDriver& driver_;
};

TEST(DownloadRoundTrip, K3r8WholeImageProgrammedAndReadBack) {
    auto sim = MakeSimulation("k3r8");
    ASSERT_TRUE(sim);
    test::LoadFirmware(*sim->dongle, StandInFirmwareRecords());
    sim->dongle->SetExchangeLogEnabled(false);
    Transactions tx(*sim->driver);
    const auto start = std::chrono::steady_clock::now();

    Bytes ack(1);
    ASSERT_TRUE(tx.Exchange(
        List().Add({0x35, 0xAA, 0x1A, 0x3B, 0x1B, 0x00, 0x1C, 0xFF, 0x03, 0x00, 0x02, 0x00}), ack));
    Bytes erase(2);
    ASSERT_TRUE(tx.Exchange(List().Add({0x31, 0xA5, 0x00, 0x04, 0x02, 0x00}), erase));
    EXPECT_EQ(erase[1], 0x00);

    constexpr std::uint32_t kImage = 256 * 1024;
    Bytes image(kImage);
    for (std::uint32_t i = 0; i < kImage; ++i)
        image[i] = static_cast<std::uint8_t>((i * 2654435761U) >> 24);
    for (std::uint32_t position = 0; position < kImage;) {
        List list;
        for (int g = 0; g < 32; ++g, position += 256)
            list.Add({0x31, 0x55})
                .Page(0x34, position, std::span(image).subspan(position, 256))
                .Add({0x30, 0x03})
                .Zeros(248);
        list.Add({0x03, 0x00, 0x02, 0x00});
        Bytes status(33);
        ASSERT_TRUE(tx.Exchange(list, status));
    }

    std::array<Bytes, 4> chips;
    for (std::uint32_t n = 0; n < kImage / 1024; ++n) {
        List list;
        if (n == 0) list.Addr(0x32, 0);
        for (int k = 0; k < 8; ++k)
            list.Add({0x33, 0x3F, 0x02, 0x00});
        Bytes reply(4096);
        ASSERT_TRUE(tx.Exchange(list, reply));
        for (std::size_t p = 0; p < 1024; ++p)
            for (std::size_t c = 0; c < 4; ++c)
                chips[c].push_back(reply[4 * p + c]);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(chips[c], image) << "chip " << c + 1;
        EXPECT_TRUE(std::equal(image.begin(), image.end(),
                               sim->dongle->K3r8()->Chip(c).Contents().begin()));
    }
    EXPECT_EQ(sim->dongle->ExchangeCount(), 2U + 32 + 256);
    EXPECT_EQ(sim->driver->ElapsedMilliseconds(), 0U);  // nothing ever timed out
    EXPECT_EQ(sim->driver->OpenHandles(), 0U);
    EXPECT_EQ(sim->driver->OpenEvents(), 0U);
    EXPECT_EQ(sim->driver->PendingRequests(), 0U);
    RecordProperty(
        "milliseconds",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

TEST(DownloadRoundTrip, WithoutEraseTheReadBackDiffers) {
    auto sim = MakeSimulation("k3r8");
    test::LoadFirmware(*sim->dongle, StandInFirmwareRecords());
    sim->dongle->K3r8()->Chip(0).Fill(0x0F);
    Transactions tx(*sim->driver);
    Bytes ack(1);
    tx.Exchange(List().Add({0x35, 0xAA, 0x03, 0x00}), ack);
    Bytes status(1);
    tx.Exchange(List().Add({0x31, 0x55}).Page(0x34, 0, Bytes(256, 0xF3)).Add({0x30, 0x03}), status);
    Bytes reply(8);
    ASSERT_TRUE(tx.Exchange(List().Addr(0x32, 0).Add({0x33, 0x00}), reply));
    EXPECT_EQ(reply[0], 0x03);  // chip 1 kept its old zeros
    EXPECT_EQ(reply[1], 0xF3);
}

TEST(DownloadRoundTrip, UnplugMidDownloadNeitherCrashesNorHangs) {
    auto sim = MakeSimulation("k3r8");
    test::LoadFirmware(*sim->dongle, StandInFirmwareRecords());
    sim->dongle->UnplugAtExchange(3);
    Transactions tx(*sim->driver);
    int failures = 0;
    for (int i = 0; i < 6; ++i) {
        Bytes reply(2);
        if (!tx.Exchange(List().Add({0x01, 0x02, 0x02, 0x00}), reply)) ++failures;
    }
    EXPECT_EQ(failures, 4);
    EXPECT_EQ(sim->driver->OpenHandles(), 0U);
    EXPECT_EQ(sim->driver->PendingRequests(), 0U);
}

}  // namespace
}  // namespace qdm::sim
