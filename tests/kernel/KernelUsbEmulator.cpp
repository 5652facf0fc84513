#include "tests/kernel/KernelUsbEmulator.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qdm::sim {

namespace {

// Request numbers as the client passes them (64-bit layouts).
constexpr unsigned long kSubmitUrb = USBDEVFS_SUBMITURB;
constexpr unsigned long kDiscardUrb = USBDEVFS_DISCARDURB;
constexpr unsigned long kReapUrb = USBDEVFS_REAPURB;
constexpr unsigned long kReapUrbNoDelay = USBDEVFS_REAPURBNDELAY;
constexpr unsigned long kClaimInterface = USBDEVFS_CLAIMINTERFACE;
constexpr unsigned long kReleaseInterface = USBDEVFS_RELEASEINTERFACE;
constexpr unsigned long kGetDriver = USBDEVFS_GETDRIVER;
constexpr unsigned long kDriverIoctl = USBDEVFS_IOCTL;
constexpr unsigned long kDisconnectClaim = USBDEVFS_DISCONNECT_CLAIM;
constexpr unsigned long kReset = USBDEVFS_RESET;
constexpr unsigned long kGetCapabilities = USBDEVFS_GET_CAPABILITIES;
constexpr unsigned long kSetInterface = USBDEVFS_SETINTERFACE;
constexpr unsigned long kClearHalt = USBDEVFS_CLEAR_HALT;
constexpr int kDisconnectCode = USBDEVFS_DISCONNECT;
constexpr int kConnectCode = USBDEVFS_CONNECT;

// What a current kernel offers. Scatter-gather support makes libusb send a bulk transfer of any
// length as one URB, which keeps a command list in one piece for the dongle.
constexpr std::uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                        USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr int kMaxUrbLength = 16 * 1024 * 1024;
constexpr std::size_t kSetupSize = 8;
constexpr const char* kKernelDriverName = "usbtest";

struct GObjectUnref {
    void operator()(void* object) const { g_object_unref(object); }
};
template <class T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(b));
        text += two;
    }
    return text;
}

std::string Format(const char* pattern, unsigned value) {
    char text[32];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

struct FileDescriptor {
    int fd = -1;
    FileDescriptor() = default;
    explicit FileDescriptor(int f) : fd(f) {}
    FileDescriptor(FileDescriptor&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& o) noexcept {
        if (this != &o) {
            if (fd >= 0) ::close(fd);
            fd = std::exchange(o.fd, -1);
        }
        return *this;
    }
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

struct Urb {
    GPtr<UMockdevIoctlData> data;  // the client's usbdevfs_urb, buffer resolved below it
    std::uint8_t type = 0;
    std::uint8_t endpoint = 0;
    BulkId bulk = 0;
    bool done = false;
    int status = 0;
    int actual = 0;
};

using UrbKey = std::pair<UMockdevIoctlClient*, gulong>;

}  // namespace

bool UnderUmockdevPreload() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

struct KernelUsbEmulator::Impl {
    struct Port {
        Impl* owner = nullptr;
        std::size_t index = 0;
        std::shared_ptr<VirtualDongle> dongle;
        std::uint8_t port = 0;
        std::uint8_t address = 0;
        std::string sysPath;  // under /sys
        std::string devNode;  // under /dev
        GPtr<UMockdevIoctlBase> handler;
        bool onBus = false;
        std::uint32_t generation = 0;  // plug-ins so far; a handle belongs to one of them
        FileDescriptor fifo;
        bool readable = false;  // the FIFO is empty, so poll() reports the node writable
        std::map<UMockdevIoctlClient*, std::uint32_t> clients;
        std::map<UrbKey, Urb> urbs;
        std::deque<UrbKey> completed;
        bool refuseOpen = false;
        bool heldElsewhere = false;
        bool kernelDriver = false;
        std::set<unsigned> claimed;
        KernelUsbCounters counters;
    };

    // A control URB that completes once its time on the bus has passed.
    struct TimedControl {
        SimTime due{};
        Port* port = nullptr;
        UrbKey key;
        int status = 0;
        int actual = 0;
    };

    GPtr<UMockdevTestbed> testbed;
    std::string root;
    mutable std::mutex mutex;
    std::vector<std::unique_ptr<Port>> ports;
    bool closing = false;
    std::shared_ptr<Clock> clock;
    std::vector<TimedControl> controls;
    std::condition_variable wake;
    bool stopTimer = false;
    std::thread timer;

    // --- Time ----------------------------------------------------------------------------------

    std::optional<SimTime> NextDue() const {
        std::optional<SimTime> next;
        const auto consider = [&next](std::optional<SimTime> t) {
            if (t && (!next || *t < *next)) next = t;
        };
        for (const auto& p : ports)
            consider(p->dongle->NextEvent());
        for (const TimedControl& c : controls)
            consider(c.due);
        return next;
    }

    void RunDue() {
        const SimTime now = clock->Now();
        for (const auto& p : ports) {
            p->dongle->RunDue();
            Sync(*p);
        }
        for (auto it = controls.begin(); it != controls.end();) {
            if (it->due > now) {
                ++it;
                continue;
            }
            const TimedControl c = *it;
            it = controls.erase(it);
            Completed(*c.port, c.key, c.status, c.actual);
        }
    }

    void TimerLoop() {
        std::unique_lock lock(mutex);
        while (!stopTimer) {
            const auto next = NextDue();
            if (!next) {
                wake.wait(lock);
            } else if (clock->IsVirtual() || clock->Now() >= *next) {
                clock->WaitUntil(*next);
                RunDue();
            } else {
                wake.wait_for(lock, *next - clock->Now());
            }
        }
    }

    // --- Bus -----------------------------------------------------------------------------------

    std::string Record(const Port& p) const {
        const VirtualDongle& d = *p.dongle;
        const std::string device = Hex(d.DeviceDescriptor());
        const std::string config = Hex(d.ConfigurationDescriptor());
        const DongleConfig& c = d.Config();
        std::string r;
        r += "P: " + p.sysPath.substr(4) + "\n";
        r += "N: " + p.devNode.substr(5) + "\n";
        r += "E: DEVNAME=" + p.devNode + "\n";
        r += "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: DRIVER=usb\n";
        r += "E: BUSNUM=001\n" + Format("E: DEVNUM=%03u\n", p.address);
        r += Format("E: PRODUCT=%x/", c.vendorId) + Format("%x/", c.productId) +
             Format("%x\n", c.bcdDevice);
        r += "A: busnum=1\\n\n" + Format("A: devnum=%u\\n\n", p.address);
        r += Format("A: devpath=%u\\n\n", p.port);
        r += Format("A: idVendor=%04x\\n\n", c.vendorId) +
             Format("A: idProduct=%04x\\n\n", c.productId);
        r += "A: speed=480\\n\nA: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n";
        r += "H: descriptors=" + device + config + "\n";
        return r;
    }

    void SetReadable(Port& p, bool readable) {
        if (p.fifo.fd < 0 || p.readable == readable) return;
        if (readable) {
            char drain[64];
            while (::read(p.fifo.fd, drain, sizeof drain) > 0) {
            }
        } else {
            const char one = 'u';
            if (::write(p.fifo.fd, &one, 1) != 1) return;
        }
        p.readable = readable;
    }

    void AddToBus(Port& p) {
        GError* raw = nullptr;
        if (!umockdev_testbed_add_from_string(testbed.get(), Record(p).c_str(), &raw)) {
            const std::unique_ptr<GError, GErrorFree> e(raw);
            throw std::runtime_error(std::string("umockdev testbed: ") + e->message);
        }
        // A FIFO with one byte in its one-page buffer polls as not writable; emptied it polls
        // writable. That is how libusb learns that a URB can be reaped.
        const std::string node = root + p.devNode;
        ::unlink(node.c_str());
        if (::mkfifo(node.c_str(), 0666) != 0) throw std::runtime_error("mkfifo " + node);
        ::chmod(node.c_str(), p.refuseOpen ? 0 : 0666);
        p.fifo = FileDescriptor(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (p.fifo.fd < 0) throw std::runtime_error("open " + node);
        ::fcntl(p.fifo.fd, F_SETPIPE_SZ, 4096);
        p.readable = true;
        SetReadable(p, false);
        ++p.generation;
        p.onBus = true;
        umockdev_testbed_uevent(testbed.get(), p.sysPath.c_str(), "add");
    }

    void RemoveFromBus(Port& p) {
        if (!p.onBus) return;
        p.onBus = false;
        umockdev_testbed_uevent(testbed.get(), p.sysPath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed.get(), p.sysPath.c_str());
        ::unlink((root + p.devNode).c_str());
        // Clients still hold the old node open and reap what the unplug completed.
        if (!p.completed.empty()) SetReadable(p, true);
    }

    void Sync(Port& p) {
        if (p.onBus && !p.dongle->Plugged()) RemoveFromBus(p);
    }

    // --- URBs ----------------------------------------------------------------------------------

    static int StatusOf(BulkStatus s) {
        switch (s) {
            case BulkStatus::Completed:
                return 0;
            case BulkStatus::Cancelled:
                return -ENOENT;
            case BulkStatus::NoDevice:
                return -ESHUTDOWN;
            case BulkStatus::Stall:
                break;
        }
        return -EPIPE;
    }

    void Completed(Port& p, const UrbKey& key, int status, int actual) {
        const auto it = p.urbs.find(key);
        if (it == p.urbs.end() || it->second.done) return;
        it->second.done = true;
        it->second.status = status;
        it->second.actual = actual;
        p.completed.push_back(key);
        SetReadable(p, true);
    }

    bool Alive(Port& p, UMockdevIoctlClient* client) {
        auto it = p.clients.find(client);
        if (it == p.clients.end()) it = p.clients.emplace(client, p.generation).first;
        return p.onBus && it->second == p.generation;
    }

    static UMockdevIoctlData* Resolve(UMockdevIoctlData* data, std::size_t offset,
                                      std::size_t length) {
        return umockdev_ioctl_data_resolve(data, offset, length, nullptr);
    }

    // The ioctl's result: 0 or a negative errno.
    int Submit(Port& p, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        if (!Alive(p, client)) return -ENODEV;
        const gulong address = *reinterpret_cast<const gulong*>(arg->data);
        GPtr<UMockdevIoctlData> urbData(Resolve(arg, 0, sizeof(usbdevfs_urb)));
        if (!urbData || urbData->data_len < static_cast<gint>(sizeof(usbdevfs_urb))) return -EFAULT;
        usbdevfs_urb urb{};
        std::memcpy(&urb, urbData->data, sizeof urb);
        if (urb.buffer_length < 0 || urb.buffer_length > kMaxUrbLength) return -EINVAL;
        const UrbKey key{client, address};
        if (p.urbs.count(key) != 0) return -EINVAL;  // already in flight
        std::span<std::uint8_t> buffer;
        if (urb.buffer_length > 0) {
            GPtr<UMockdevIoctlData> b(Resolve(urbData.get(), offsetof(usbdevfs_urb, buffer),
                                              static_cast<std::size_t>(urb.buffer_length)));
            if (!b) return -EFAULT;
            // The local copy lives as long as the URB's data, which keeps it as a child.
            buffer = std::span(b->data, static_cast<std::size_t>(b->data_len));
        }
        Urb record;
        record.data = std::move(urbData);
        record.type = urb.type;
        record.endpoint = urb.endpoint;
        switch (urb.type) {
            case USBDEVFS_URB_TYPE_CONTROL: {
                if (buffer.size() < kSetupSize) return -EINVAL;
                const SetupPacket setup{buffer[0], buffer[1],
                                        static_cast<std::uint16_t>(buffer[2] | (buffer[3] << 8)),
                                        static_cast<std::uint16_t>(buffer[4] | (buffer[5] << 8)),
                                        static_cast<std::uint16_t>(buffer[6] | (buffer[7] << 8))};
                if (buffer.size() < kSetupSize + setup.wLength) return -EINVAL;
                p.urbs.emplace(key, std::move(record));
                const ControlResult r =
                    p.dongle->ControlTransfer(setup, buffer.subspan(kSetupSize, setup.wLength));
                const int status = r.status == ControlStatus::Ok         ? 0
                                   : r.status == ControlStatus::NoDevice ? -ESHUTDOWN
                                                                         : -EPIPE;
                ++p.counters.controls;
                if (r.busy.count() == 0) {
                    Completed(p, key, status, static_cast<int>(r.length));
                } else {
                    controls.push_back(
                        {clock->Now() + r.busy, &p, key, status, static_cast<int>(r.length)});
                }
                break;
            }
            case USBDEVFS_URB_TYPE_BULK:
            case USBDEVFS_URB_TYPE_INTERRUPT: {
                p.urbs.emplace(key, std::move(record));
                Port* port = &p;
                const BulkId id =
                    p.dongle->SubmitBulk(urb.endpoint, buffer, [this, port, key](const auto& c) {
                        if (!closing)
                            Completed(*port, key, StatusOf(c.status), static_cast<int>(c.length));
                    });
                const auto it = p.urbs.find(key);
                if (it != p.urbs.end()) it->second.bulk = id;
                break;
            }
            default:
                return -EINVAL;  // the dongle has no isochronous endpoints
        }
        ++p.counters.submitted;
        wake.notify_all();
        return 0;
    }

    int Reap(Port& p, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        const auto next = std::find_if(p.completed.begin(), p.completed.end(),
                                       [client](const UrbKey& k) { return k.first == client; });
        if (next == p.completed.end()) {
            if (p.completed.empty()) SetReadable(p, false);
            return Alive(p, client) ? -EAGAIN : -ENODEV;
        }
        const UrbKey key = *next;
        p.completed.erase(next);
        if (p.completed.empty()) SetReadable(p, false);
        Urb urb = std::move(p.urbs.at(key));
        p.urbs.erase(key);
        // The URB goes back through the client's pointer: its status and length here, its data
        // in the buffer resolved at submission.
        std::memcpy(urb.data->data + offsetof(usbdevfs_urb, status), &urb.status, sizeof(int));
        std::memcpy(urb.data->data + offsetof(usbdevfs_urb, actual_length), &urb.actual,
                    sizeof(int));
        GPtr<UMockdevIoctlData> slot(Resolve(arg, 0, sizeof(void*)));
        if (!slot || !umockdev_ioctl_data_set_ptr(slot.get(), 0, urb.data.get())) return -EFAULT;
        ++p.counters.reaped;
        return 0;
    }

    int Discard(Port& p, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        const gulong address = *reinterpret_cast<const gulong*>(arg->data);
        const auto it = p.urbs.find({client, address});
        if (it == p.urbs.end() || it->second.done || it->second.bulk == 0) return -EINVAL;
        if (!p.dongle->CancelBulk(it->second.bulk)) return -EINVAL;
        ++p.counters.discarded;
        return 0;
    }

    template <class T>
    static T* Argument(UMockdevIoctlData* arg, GPtr<UMockdevIoctlData>& holder) {
        holder.reset(Resolve(arg, 0, sizeof(T)));
        if (!holder || holder->data_len < static_cast<gint>(sizeof(T))) return nullptr;
        return reinterpret_cast<T*>(holder->data);
    }

    int Claim(Port& p, unsigned interface) {
        if (interface != 0) return -EINVAL;
        if (p.heldElsewhere || p.kernelDriver) return -EBUSY;
        p.claimed.insert(interface);
        ++p.counters.claims;
        return 0;
    }

    int Handle(Port& p, UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg) {
        if (request == kReapUrb || request == kReapUrbNoDelay) return Reap(p, client, arg);
        if (!Alive(p, client)) return -ENODEV;
        GPtr<UMockdevIoctlData> holder;
        if (request == kSubmitUrb) return Submit(p, client, arg);
        if (request == kDiscardUrb) return Discard(p, client, arg);
        if (request == kGetCapabilities) {
            auto* caps = Argument<std::uint32_t>(arg, holder);
            if (caps == nullptr) return -EFAULT;
            *caps = kCapabilities;
            return 0;
        }
        if (request == kClaimInterface) {
            const auto* interface = Argument<unsigned>(arg, holder);
            return interface == nullptr ? -EFAULT : Claim(p, *interface);
        }
        if (request == kReleaseInterface) {
            const auto* interface = Argument<unsigned>(arg, holder);
            if (interface == nullptr) return -EFAULT;
            return p.claimed.erase(*interface) != 0 ? 0 : -EINVAL;
        }
        if (request == kGetDriver) {
            auto* driver = Argument<usbdevfs_getdriver>(arg, holder);
            if (driver == nullptr) return -EFAULT;
            if (!p.kernelDriver || driver->interface != 0) return -ENODATA;
            std::snprintf(driver->driver, sizeof driver->driver, "%s", kKernelDriverName);
            return 0;
        }
        if (request == kDriverIoctl) {
            const auto* command = Argument<usbdevfs_ioctl>(arg, holder);
            if (command == nullptr) return -EFAULT;
            if (command->ioctl_code == kDisconnectCode) {
                if (!p.kernelDriver) return -ENODATA;
                p.kernelDriver = false;
                ++p.counters.detaches;
                return 0;
            }
            if (command->ioctl_code == kConnectCode) return 0;
            return -ENOTTY;
        }
        if (request == kDisconnectClaim) {
            const auto* command = Argument<usbdevfs_disconnect_claim>(arg, holder);
            if (command == nullptr) return -EFAULT;
            if (p.kernelDriver) {
                p.kernelDriver = false;
                ++p.counters.detaches;
            }
            return Claim(p, command->interface);
        }
        if (request == kReset) {
            ++p.counters.resets;
            if (!p.dongle->ResetPort()) return -ENODEV;
            // The ioctl returns once the reset is over.
            const SimTime done = clock->Now() + PortResetTime(p.dongle->Timing());
            if (clock->IsVirtual()) {
                clock->WaitUntil(done);
            } else {
                mutex.unlock();
                clock->WaitUntil(done);
                mutex.lock();
            }
            return 0;
        }
        if (request == kSetInterface || request == kClearHalt) return 0;
        return -ENOTTY;
    }

    void Vanished(Port& p, UMockdevIoctlClient* client) {
        std::erase_if(controls, [client](const TimedControl& c) { return c.key.first == client; });
        // A closed file descriptor takes its URBs with it, as the kernel does.
        for (auto it = p.urbs.begin(); it != p.urbs.end();) {
            if (it->first.first != client) {
                ++it;
                continue;
            }
            if (!it->second.done && it->second.bulk != 0) {
                const BulkId bulk = it->second.bulk;
                it->second.done = true;  // the cancellation's callback finds nothing to do
                p.dongle->CancelBulk(bulk);
            }
            it = p.urbs.erase(it);
        }
        std::erase_if(p.completed, [client](const UrbKey& k) { return k.first == client; });
        if (p.completed.empty()) SetReadable(p, false);
        p.clients.erase(client);
        Sync(p);
    }

    static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        Port& p = *static_cast<Port*>(data);
        int result = 0;
        {
            const std::lock_guard lock(p.owner->mutex);
            result = p.owner->Handle(p, client, umockdev_ioctl_client_get_request(client),
                                     umockdev_ioctl_client_get_arg(client));
            p.owner->Sync(p);
        }
        if (result < 0) {
            umockdev_ioctl_client_complete(client, -1, -result);
        } else {
            umockdev_ioctl_client_complete(client, result, 0);
        }
        return TRUE;
    }

    static void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        Port& p = *static_cast<Port*>(data);
        const std::lock_guard lock(p.owner->mutex);
        // A new file descriptor belongs to the device as it is now (the client object may
        // reuse the address of one that has gone).
        p.clients[client] = p.generation;
        ++p.counters.opens;
    }

    static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
        Port& p = *static_cast<Port*>(data);
        const std::lock_guard lock(p.owner->mutex);
        p.owner->Vanished(p, client);
    }
};

KernelUsbEmulator::KernelUsbEmulator(std::shared_ptr<Clock> clock)
    : impl_(std::make_unique<Impl>()) {
    impl_->clock = clock ? std::move(clock) : std::make_shared<VirtualClock>();
    impl_->testbed.reset(umockdev_testbed_new());
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed.get());
    impl_->root = root;
    g_free(root);
    impl_->timer = std::thread([impl = impl_.get()] { impl->TimerLoop(); });
}

KernelUsbEmulator::~KernelUsbEmulator() {
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->stopTimer = true;
    }
    impl_->wake.notify_all();
    impl_->timer.join();
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->closing = true;
        impl_->controls.clear();
        for (const auto& p : impl_->ports) {
            // The dongle may outlive us: it must not keep buffers that go with the URBs.
            for (auto& [key, urb] : p->urbs)
                if (!urb.done && urb.bulk != 0) p->dongle->CancelBulk(urb.bulk);
            p->urbs.clear();
            p->completed.clear();
        }
    }
    for (const auto& p : impl_->ports)
        umockdev_testbed_detach_ioctl(impl_->testbed.get(), p->devNode.c_str(), nullptr);
    impl_->testbed.reset();
}

std::mutex& KernelUsbEmulator::Mutex() const {
    return impl_->mutex;
}

void KernelUsbEmulator::Wake() {
    impl_->wake.notify_all();
}

Clock& KernelUsbEmulator::TimeSource() const {
    return *impl_->clock;
}

VirtualDongle& KernelUsbEmulator::Dongle(std::size_t index) {
    return *impl_->ports.at(index)->dongle;
}

void KernelUsbEmulator::SyncBus(std::size_t index) {
    Impl::Port& p = *impl_->ports.at(index);
    if (!p.onBus && p.dongle->Plugged()) {
        impl_->AddToBus(p);
    } else {
        impl_->Sync(p);
    }
}

std::size_t KernelUsbEmulator::Attach(std::shared_ptr<VirtualDongle> dongle, std::uint8_t port) {
    const std::lock_guard lock(impl_->mutex);
    auto p = std::make_unique<Impl::Port>();
    p->owner = impl_.get();
    p->index = impl_->ports.size();
    p->dongle = std::move(dongle);
    p->dongle->SetClock(impl_->clock);
    p->port = port;
    p->address = static_cast<std::uint8_t>(2 + impl_->ports.size());
    p->sysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port);
    p->devNode = Format("/dev/bus/usb/001/%03u", p->address);
    p->handler.reset(umockdev_ioctl_base_new());
    g_signal_connect_data(p->handler.get(), "handle-ioctl",
                          reinterpret_cast<GCallback>(&Impl::OnIoctl), p.get(), nullptr,
                          GConnectFlags{});
    g_signal_connect_data(p->handler.get(), "client-connected",
                          reinterpret_cast<GCallback>(&Impl::OnConnected), p.get(), nullptr,
                          GConnectFlags{});
    g_signal_connect_data(p->handler.get(), "client-vanished",
                          reinterpret_cast<GCallback>(&Impl::OnVanished), p.get(), nullptr,
                          GConnectFlags{});
    GError* raw = nullptr;
    if (!umockdev_testbed_attach_ioctl(impl_->testbed.get(), p->devNode.c_str(), p->handler.get(),
                                       &raw)) {
        const std::unique_ptr<GError, GErrorFree> e(raw);
        throw std::runtime_error(std::string("umockdev ioctl handler: ") + e->message);
    }
    if (p->dongle->Plugged()) impl_->AddToBus(*p);
    impl_->ports.push_back(std::move(p));
    return impl_->ports.size() - 1;
}

void KernelUsbEmulator::Plug(std::size_t index) {
    WithDongle(index, [](VirtualDongle& d) { d.Plug(); });
}

void KernelUsbEmulator::Unplug(std::size_t index) {
    WithDongle(index, [](VirtualDongle& d) { d.Unplug(); });
}

bool KernelUsbEmulator::OnBus(std::size_t index) const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->ports.at(index)->onBus;
}

void KernelUsbEmulator::RefuseOpen(std::size_t index, bool refuse) {
    const std::lock_guard lock(impl_->mutex);
    Impl::Port& p = *impl_->ports.at(index);
    p.refuseOpen = refuse;
    if (p.onBus) ::chmod((impl_->root + p.devNode).c_str(), refuse ? 0 : 0666);
}

void KernelUsbEmulator::HoldInterfaceElsewhere(std::size_t index, bool held) {
    const std::lock_guard lock(impl_->mutex);
    impl_->ports.at(index)->heldElsewhere = held;
}

void KernelUsbEmulator::BindKernelDriver(std::size_t index, bool bound) {
    const std::lock_guard lock(impl_->mutex);
    impl_->ports.at(index)->kernelDriver = bound;
}

KernelUsbCounters KernelUsbEmulator::Counters(std::size_t index) const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->ports.at(index)->counters;
}

std::string KernelUsbEmulator::DeviceNode(std::size_t index) const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->ports.at(index)->devNode;
}

std::string KernelUsbEmulator::RootDirectory() const {
    return impl_->root;
}

}  // namespace qdm::sim
