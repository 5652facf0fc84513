#pragma once
// Virtual dongles behind an emulated Linux kernel USB interface, so that libusb runs its own,
// unmodified code against them: a umockdev testbed holds one sysfs device and one usbdevfs node
// per dongle, and an ioctl handler serves the usbdevfs requests libusb sends (submit, reap and
// discard URBs, claim, release, reset, capabilities, kernel driver queries) from the dongle.
//
// Works only in a process running with umockdev's preload library (umockdev-wrapper, or
// LD_PRELOAD=libumockdev-preload.so.0), and the testbed must exist before libusb scans for
// devices. The handler runs on umockdev's worker thread; every touch of a dongle, from there or
// from the caller, happens under one lock (WithDongle).
//
// Threads: the caller's, umockdev's worker (ioctl handling), one that lets the dongles' timed work
// happen, and whatever the client runs; libusb's event thread waits in poll() on the device
// node, which is a FIFO here that is made writable exactly while a completed URB waits to be
// reaped, so nothing spins.
//
// Time: the dongles keep the emulator's clock. On a real clock their work takes its time; on a
// virtual one (the default) each piece of work happens as soon as it is scheduled, the clock
// moving on to it, so a timed profile costs no real time while the dongle still accounts for it.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "sim/Clock.h"
#include "sim/VirtualDongle.h"

namespace qdm::sim {

// True when this process runs with umockdev's preload library.
bool UnderUmockdevPreload();

struct KernelUsbCounters {
    std::uint64_t opens = 0;      // file descriptors opened on the device node
    std::uint64_t submitted = 0;  // URBs accepted
    std::uint64_t controls = 0;   // control URBs among them
    std::uint64_t reaped = 0;     // URBs handed back
    std::uint64_t discarded = 0;  // URBs cancelled on request
    std::uint64_t resets = 0;     // port resets
    std::uint64_t claims = 0;     // interface claims granted
    std::uint64_t detaches = 0;   // kernel drivers unbound on request
};

class KernelUsbEmulator {
  public:
    // A virtual clock unless given one.
    explicit KernelUsbEmulator(std::shared_ptr<Clock> clock = nullptr);
    KernelUsbEmulator(const KernelUsbEmulator&) = delete;
    KernelUsbEmulator& operator=(const KernelUsbEmulator&) = delete;
    // Pending transfers are dropped at their dongles; the testbed goes away.
    ~KernelUsbEmulator();

    // Connects `dongle` to root port `port` of bus 1 (sysfs name 1-PORT, node
    // /dev/bus/usb/001/ADDRESS), on the emulator's clock; it shows up while plugged. Returns its
    // index.
    std::size_t Attach(std::shared_ptr<VirtualDongle> dongle, std::uint8_t port);

    // Plugging in and pulling out at bus level: the dongle powers up or down and the device
    // appears or leaves (pending URBs fail as the kernel fails them, with "no device").
    void Plug(std::size_t index);
    void Unplug(std::size_t index);
    [[nodiscard]] bool OnBus(std::size_t index) const;

    // Runs `f` on the dongle under the lock that the ioctl handler takes.
    template <class F>
    decltype(auto) WithDongle(std::size_t index, F&& f) {
        const std::lock_guard lock(Mutex());
        // Runs before the lock is released, whatever `f` returns.
        struct Sync {
            KernelUsbEmulator& emulator;
            std::size_t index;
            ~Sync() {
                emulator.SyncBus(index);
                emulator.Wake();
            }
        } sync{*this, index};
        return std::forward<F>(f)(Dongle(index));
    }
    // The timer thread looks again at what is scheduled (after WithDongle changed it).
    void Wake();

    // Access refusals. A refused node cannot be opened by a user without the right to override
    // file permissions (a privileged test drops it, see tests/support). An interface held
    // elsewhere answers claims with EBUSY. A bound kernel driver blocks claims until it is
    // detached.
    void RefuseOpen(std::size_t index, bool refuse);
    void HoldInterfaceElsewhere(std::size_t index, bool held);
    void BindKernelDriver(std::size_t index, bool bound);

    [[nodiscard]] KernelUsbCounters Counters(std::size_t index) const;
    [[nodiscard]] Clock& TimeSource() const;
    [[nodiscard]] std::string DeviceNode(std::size_t index) const;  // "/dev/bus/usb/001/002"
    [[nodiscard]] std::string RootDirectory() const;

  private:
    struct Impl;
    std::mutex& Mutex() const;
    VirtualDongle& Dongle(std::size_t index);
    // Follows a dongle that left the bus on its own (a fault) or came back.
    void SyncBus(std::size_t index);

    std::unique_ptr<Impl> impl_;
};

}  // namespace qdm::sim
