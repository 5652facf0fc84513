// Transactions per second against the virtual dongle over the two USB paths: the in-process
// virtual driver, and libusb through the emulated kernel USB interface. Prints one line per
// path and kind of exchange.
//
//   qdm-transaction-rate [seconds per measurement, default 2]

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "sim/Simulation.h"
#include "sim/StandInFirmware.h"
#include "tests/kernel/KernelUsbEmulator.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"
#include "usb/LibusbDriver.h"
#include "usb/TransferRequest.h"

namespace {

using namespace qdm;
using Clock = std::chrono::steady_clock;

double Rate(double seconds, const std::function<bool()>& once) {
    int count = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (!once()) {
            std::fprintf(stderr, "an exchange failed\n");
            std::exit(1);
        }
        ++count;
    }
    return count / std::chrono::duration<double>(Clock::now() - start).count();
}

bool Identity() {
    return QueryDongleIdentity();
}

// A programming list of 32 pages (16 KiB of data), as R8ProgramImage sends them.
bool ProgramList() {
    static std::vector<std::uint8_t> list = [] {
        std::vector<std::uint8_t> l;
        for (std::uint32_t g = 0; g < 32; ++g) {
            const std::uint32_t address = g * 256;
            l.insert(l.end(),
                     {0x31, 0x55, 0x34, static_cast<std::uint8_t>(address >> 16),
                      static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)});
            l.insert(l.end(), 256, 0xA5);
            l.insert(l.end(), {0x30, 0x03});
            l.insert(l.end(), 248, 0);
        }
        l.insert(l.end(), {0x03, 0x00, 0x02, 0x00});
        return l;
    }();
    std::vector<std::uint8_t> reply(33);
    return WriterTransaction(list, reply);
}

// One list and its reply on a handle that stays open: the transfer cost alone.
bool RawExchange(usb::UsbDriver& driver, usb::Handle handle) {
    usb::Event inEvent(driver);
    usb::Event outEvent(driver);
    usb::Overlapped inOv{inEvent.handle(), 0};
    usb::Overlapped outOv{outEvent.handle(), 0};
    std::vector<std::uint8_t> inHeader(usb::kTransferRequestSize, 0);
    std::vector<std::uint8_t> outHeader(usb::kTransferRequestSize, 0);
    inHeader[usb::header::EndpointAddress] = 0x86;
    outHeader[usb::header::EndpointAddress] = 0x02;
    std::vector<std::uint8_t> list(512, 0);
    list[0] = 0x01;
    list[1] = 0x02;
    list[2] = 0x02;
    std::vector<std::uint8_t> reply(2);
    driver.DeviceIoControl(handle, usb::ioctl::DirectTransfer, inHeader, reply, &inOv);
    driver.DeviceIoControl(handle, usb::ioctl::DirectTransfer, outHeader, list, &outOv);
    const bool ok = driver.GetOverlappedResult(handle, outOv, true).ok &&
                    driver.GetOverlappedResult(handle, inOv, true).ok;
    return ok && reply[0] == 0x14;
}

void Measure(const char* path, usb::UsbDriver& driver, double seconds) {
    auto text = sim::StandInFirmwareFile();
    ExchangeNibbles(text);
    if (!DownloadFirmware(text, 0)) {
        std::fprintf(stderr, "%s: firmware download failed\n", path);
        std::exit(1);
    }
    std::printf("%-22s identity query (open, 512 B out, 2 B in, reset): %8.1f /s\n", path,
                Rate(seconds, Identity));
    std::printf("%-22s 32-page program list (open, 16.5 KiB out):     %8.1f /s\n", path,
                Rate(seconds, ProgramList));
    const auto paths = driver.PresentInterfaces(usb::DriverInterfaceGuid);
    std::uint32_t error = 0;
    const usb::Handle handle = driver.OpenDevice(paths.at(0), error);
    std::printf("%-22s list + reply on an open handle:                 %8.1f /s\n", path,
                Rate(seconds, [&] { return RawExchange(driver, handle); }));
    driver.CloseDevice(handle);
}

}  // namespace

int main(int argc, char** argv) {
    if (!sim::UnderUmockdevPreload() && std::getenv("QDM_UMOCKDEV_REEXEC") == nullptr) {
        setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
        setenv("QDM_UMOCKDEV_REEXEC", "1", 1);
        execv("/proc/self/exe", argv);
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    SetSleepHook([](std::chrono::milliseconds) {});
    {
        auto simulation = sim::MakeSimulation(sim::DongleConfig{});
        simulation.dongle->SetExchangeLogEnabled(false);
        usb::SetActiveDriver(simulation.driver);
        Measure("in-process", *simulation.driver, seconds);
        usb::SetActiveDriver(nullptr);
    }
    if (!sim::UnderUmockdevPreload()) {
        std::printf("emulated kernel: not measured (libumockdev-preload.so.0 did not load)\n");
        return 0;
    }
    auto dongle = std::make_shared<sim::VirtualDongle>();
    dongle->SetExchangeLogEnabled(false);
    auto emulator = std::make_unique<sim::KernelUsbEmulator>();
    emulator->Attach(dongle, 2);
    {
        auto driver = std::make_shared<usb::LibusbDriver>();
        usb::SetActiveDriver(driver);
        Measure("libusb+emulated kernel", *driver, seconds);
        usb::SetActiveDriver(nullptr);
    }
    return 0;
}
