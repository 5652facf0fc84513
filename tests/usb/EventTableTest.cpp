// Event objects of the host drivers: auto and manual reset, names, time-outs, wake-ups from
// another thread; and the device paths of the libusb backend.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "usb/EventTable.h"
#if defined(QDM_HAVE_LIBUSB)
#include "usb/LibusbDriver.h"
#endif

namespace qdm::usb {
namespace {

TEST(EventTable, AutoResetEventIsConsumedByOneWait) {
    EventTable table;
    const EventHandle e = table.Create(false, true);
    EXPECT_EQ(table.Wait(e, 0), WaitResult::Signalled);
    EXPECT_EQ(table.Wait(e, 0), WaitResult::TimedOut);
}

TEST(EventTable, ManualResetEventStaysSignalledUntilReset) {
    EventTable table;
    const EventHandle e = table.Create(true, false);
    table.Get(e)->Set();
    EXPECT_EQ(table.Wait(e, 0), WaitResult::Signalled);
    EXPECT_EQ(table.Wait(e, 0), WaitResult::Signalled);
    table.Get(e)->Reset();
    EXPECT_EQ(table.Wait(e, 0), WaitResult::TimedOut);
}

TEST(EventTable, TimedWaitLastsItsTimeAndASetWakesItEarly) {
    EventTable table;
    const EventHandle e = table.Create(false, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(table.Wait(e, 50), WaitResult::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    std::thread setter([&table, e] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        table.Get(e)->Set();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(table.Wait(e, kInfinite), WaitResult::Signalled);
    setter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

#if defined(QDM_HAVE_LIBUSB)
TEST(LibusbDevicePath, BusThenPortChain) {
    const std::uint8_t one[] = {2};
    const std::uint8_t chain[] = {1, 4, 2};
    EXPECT_EQ(LibusbDevicePath(1, one), "usb:1-2");
    EXPECT_EQ(LibusbDevicePath(3, chain), "usb:3-1.4.2");
    EXPECT_EQ(LibusbDevicePath(1, {}), "usb:1-0");
}

TEST(PlatformDriver, IsTheLibusbBackendWhereLibusbWorks) {
    const auto driver = CreatePlatformDriver();
    const bool libusb = dynamic_cast<LibusbDriver*>(driver.get()) != nullptr;
    EXPECT_EQ(libusb, LibusbDriver().Available());
}
#endif

}  // namespace
}  // namespace qdm::usb
