#pragma once
// What the benchmarks share: ROM images made the way the samples are, an operator panel that does
// nothing, and a driver decorator that counts the bytes a run puts on the bus.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "protocol/HostHooks.h"
#include "sim/Simulation.h"
#include "usb/UsbDriver.h"
#include "workflows/OperatorPanel.h"

namespace qdm::bench {

// Noise with a first byte the key test accepts.
std::vector<std::uint8_t> PlainImage(std::size_t size, std::uint32_t seed = 7);

// A "QDMROM" container of `plain`, scrambled with the built-in agent's key.
std::vector<std::uint8_t> ContainerFile(std::span<const std::uint8_t> plain, std::uint8_t chipCode,
                                        std::uint8_t chipIndex);

// A panel that answers the file dialog with one file and otherwise does nothing, so a run costs
// what the workflow and the layers below it cost.
class QuietPanel final : public OperatorPanel {
  public:
    explicit QuietPanel(std::string romFile) : romFile_(std::move(romFile)) {}

    void SetStatusColour(StatusColour) override {}
    void SetStatusText(std::string_view) override {}
    void SetFileLabel(std::string_view) override {}
    void ShowMessage(std::string_view) override {}
    std::optional<std::string> ChooseRomFile() override { return romFile_; }
    int ChipTypeCount() const override;
    std::string ChipTypeText(int index) const override;
    int SelectedChipType() const override { return selected_; }
    void SelectChipType(int index) override { selected_ = index; }
    void SetOperationControls(bool) override {}
    void SetDownloadEnabled(bool) override {}
    void SetDemoResetVisible(bool) override {}
    void SetDemoResetEnabled(bool) override {}
    void SetProgressDisplay(bool) override {}
    void ProcessMessages() override {}
    // Through the sleep hook: a no-op in the benchmarks, the virtual clock's wait in timed runs.
    void Wait(std::chrono::milliseconds duration) override { SleepFor(duration); }

  private:
    std::string romFile_;
    int selected_ = 0;
};

inline constexpr std::size_t kUsbPacket = 512;
inline constexpr double kHighSpeedBitsPerSecond = 480e6;

// Bytes of bulk transfers, each padded to whole 512-byte packets.
struct WireBytes {
    std::uint64_t out = 0;
    std::uint64_t in = 0;
    std::uint64_t outTransfers = 0;
    std::uint64_t inTransfers = 0;
    std::uint64_t controlRequests = 0;

    [[nodiscard]] std::uint64_t Total() const { return out + in; }
    // Time the same bytes take on a USB 2.0 high-speed bus at its signalling rate.
    [[nodiscard]] double Seconds() const {
        return static_cast<double>(Total()) * 8.0 / kHighSpeedBitsPerSecond;
    }
};

// CPU time the calling thread has used.
std::chrono::nanoseconds ThreadCpuTime();

// Forwards everything to another driver and counts the bulk bytes that complete: an OUT
// transfer's length, an IN transfer's bytes received, each rounded up to whole packets. It also
// sums the time the calls spend below it: over the virtual dongle on its virtual clock, which
// never sleeps, that is the dongle's own work and none of the host's. (The steady clock is read
// there, as the thread's CPU clock costs a system call, thousands of them a run.)
class WireCountingDriver final : public usb::UsbDriver {
  public:
    explicit WireCountingDriver(std::shared_ptr<usb::UsbDriver> inner) : inner_(std::move(inner)) {}

    [[nodiscard]] const WireBytes& Counted() const { return counted_; }
    [[nodiscard]] std::chrono::nanoseconds BelowSeam() const { return below_; }

    std::vector<std::string> PresentInterfaces(const usb::Guid& interfaceClass) override {
        return Timed([&] { return inner_->PresentInterfaces(interfaceClass); });
    }
    std::vector<usb::DeviceLocation> LocateInterfaces(const usb::Guid& interfaceClass) override {
        return inner_->LocateInterfaces(interfaceClass);
    }
    usb::Handle OpenDevice(const std::string& path, std::uint32_t& error) override {
        return Timed([&] { return inner_->OpenDevice(path, error); });
    }
    bool CloseDevice(usb::Handle handle) override {
        return Timed([&] { return inner_->CloseDevice(handle); });
    }
    usb::IoResult DeviceIoControl(usb::Handle handle, std::uint32_t code,
                                  std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                                  usb::Overlapped* overlapped) override;
    usb::IoResult GetOverlappedResult(usb::Handle handle, usb::Overlapped& overlapped,
                                      bool wait) override;
    void Abandon(usb::Handle handle, usb::Overlapped& overlapped,
                 usb::RequestMemory memory) override {
        Timed([&] {
            inner_->Abandon(handle, overlapped, std::move(memory));
            return true;
        });
    }
    usb::EventHandle CreateEventObject(bool manualReset, bool initialState) override {
        return Timed([&] { return inner_->CreateEventObject(manualReset, initialState); });
    }
    usb::WaitResult WaitForEvent(usb::EventHandle event, std::uint32_t milliseconds) override {
        return Timed([&] { return inner_->WaitForEvent(event, milliseconds); });
    }
    bool CloseEvent(usb::EventHandle event) override {
        return Timed([&] { return inner_->CloseEvent(event); });
    }
    usb::NotifyHandle RegisterInterfaceNotification(usb::WindowHandle window,
                                                    const usb::Guid& interfaceClass) override {
        return inner_->RegisterInterfaceNotification(window, interfaceClass);
    }
    usb::NotifyHandle RegisterHandleNotification(usb::WindowHandle window,
                                                 usb::Handle handle) override {
        return inner_->RegisterHandleNotification(window, handle);
    }
    bool UnregisterNotification(usb::NotifyHandle notification) override {
        return inner_->UnregisterNotification(notification);
    }

  private:
    struct Pending {
        bool in = false;
        std::uint32_t dataOffset = 0;
    };
    void Count(const Pending& transfer, std::uint32_t bytes);
    template <class Call>
    std::invoke_result_t<Call> Timed(Call call) {
        const auto start = std::chrono::steady_clock::now();
        auto result = call();
        below_ += std::chrono::steady_clock::now() - start;
        return result;
    }

    std::shared_ptr<usb::UsbDriver> inner_;
    WireBytes counted_;
    std::chrono::nanoseconds below_{0};
    std::vector<std::pair<const usb::Overlapped*, Pending>> pending_;
};

// For as long as it lives: a virtual dongle of one board as the process's driver, its exchange
// log off, the sleep hook a no-op and the pump hook unset.
class VirtualBench {
  public:
    explicit VirtualBench(std::string_view board);
    VirtualBench(const VirtualBench&) = delete;
    VirtualBench& operator=(const VirtualBench&) = delete;
    ~VirtualBench();

    // Loads the stand-in writer firmware into the dongle and, on a K3.r8, switches the board's
    // interface on, so command lists reach the flash.
    void StartWriter();

    [[nodiscard]] sim::Simulation& Simulation() { return simulation_; }
    [[nodiscard]] sim::VirtualDongle& Dongle() { return *simulation_.dongle; }
    // The stand-in firmware as State().FirmwareText holds it.
    [[nodiscard]] const std::vector<std::uint8_t>& FirmwareText() const { return firmware_; }

  private:
    sim::Simulation simulation_;
    std::vector<std::uint8_t> firmware_;
};

// Bytes rounded up to whole USB packets.
constexpr std::uint64_t Packets(std::uint64_t bytes) {
    return (bytes + kUsbPacket - 1) / kUsbPacket * kUsbPacket;
}

}  // namespace qdm::bench
