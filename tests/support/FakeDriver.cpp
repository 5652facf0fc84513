#include "tests/support/FakeDriver.h"

#include <algorithm>

namespace qdm::test {

using usb::IoResult;
namespace error = usb::error;
namespace ioctl = usb::ioctl;

std::vector<std::uint8_t> DeviceDescriptorBytes(std::uint16_t vid, std::uint16_t pid,
                                                std::uint8_t configurations,
                                                std::uint8_t maxPacket0) {
    return {18,
            1,
            0x00,
            0x02,
            0xFF,
            0xFF,
            0xFF,
            maxPacket0,
            static_cast<std::uint8_t>(vid),
            static_cast<std::uint8_t>(vid >> 8),
            static_cast<std::uint8_t>(pid),
            static_cast<std::uint8_t>(pid >> 8),
            0x01,
            0xA0,
            1,
            2,
            3,
            configurations};
}

std::vector<std::uint8_t> ConfigHeader(std::uint8_t interfaces, std::uint8_t value) {
    return {9, 2, 9, 0, interfaces, value, 0, 0x80, 50};
}

std::vector<std::uint8_t> InterfaceDescriptor(std::uint8_t number, std::uint8_t alternate,
                                              std::uint8_t endpoints) {
    return {9, 4, number, alternate, endpoints, 0xFF, 0, 0, 0};
}

std::vector<std::uint8_t> EndpointDescriptor(std::uint8_t address, std::uint8_t attributes,
                                             std::uint16_t maxPacket) {
    return {7,
            5,
            address,
            attributes,
            static_cast<std::uint8_t>(maxPacket),
            static_cast<std::uint8_t>(maxPacket >> 8),
            0};
}

std::vector<std::uint8_t> ConfigSet(std::vector<std::vector<std::uint8_t>> parts,
                                    std::uint8_t interfaces, std::uint8_t value) {
    std::vector<std::uint8_t> set = ConfigHeader(interfaces, value);
    for (const auto& part : parts)
        set.insert(set.end(), part.begin(), part.end());
    set[2] = static_cast<std::uint8_t>(set.size());
    set[3] = static_cast<std::uint8_t>(set.size() >> 8);
    return set;
}

std::vector<std::uint8_t> DongleConfigSet() {
    return ConfigSet(
        {InterfaceDescriptor(0, 0, 2), EndpointDescriptor(0x02, 2), EndpointDescriptor(0x86, 2)},
        1);
}

std::vector<std::string> FakeDriver::PresentInterfaces(const usb::Guid& interfaceClass) {
    std::vector<std::string> paths;
    if (interfaceClass != usb::DriverInterfaceGuid) return paths;
    for (const FakeDevice& d : devices)
        paths.push_back(d.path);
    return paths;
}

usb::Handle FakeDriver::OpenDevice(const std::string& path, std::uint32_t& error) {
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].path != path) continue;
        if (devices[i].openError != 0) {
            error = devices[i].openError;
            return usb::InvalidHandle;
        }
        ++openCount;
        handles_[nextHandle_] = i;
        return nextHandle_++;
    }
    error = error::FileNotFound;
    return usb::InvalidHandle;
}

bool FakeDriver::CloseDevice(usb::Handle handle) {
    FakeDevice* device = DeviceOf(handle);
    if (device == nullptr) return false;
    ++closeCount;
    handles_.erase(handle);
    return !device->closeFails;
}

FakeDevice* FakeDriver::DeviceOf(usb::Handle handle) {
    const auto it = handles_.find(handle);
    return it == handles_.end() || it->second >= devices.size() ? nullptr : &devices[it->second];
}

std::vector<FakeDriver::Call> FakeDriver::CallsWith(std::uint32_t code) const {
    std::vector<Call> found;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(found),
                 [code](const Call& c) { return c.code == code; });
    return found;
}

IoResult FakeDriver::Control(FakeDevice& device, std::span<std::uint8_t> request) {
    const usb::TransferRequest h = usb::TransferRequest::ReadFrom(request);
    const std::span<std::uint8_t> data = request.subspan(usb::kTransferRequestSize);
    std::vector<std::uint8_t> answer;
    if ((h.bmRequestType & 0x60) == 0x40 && device.vendorRequestsFail) {
        usb::WriteStatus(request, usb::RequestOutcome::Stalled);
        return usb::ResultOf(usb::RequestOutcome::Stalled, 0);
    }
    if (h.bmRequestType == 0x80 && h.bRequest == 6) {
        const std::uint8_t type = static_cast<std::uint8_t>(h.wValue >> 8);
        const std::uint8_t index = static_cast<std::uint8_t>(h.wValue);
        if (type == 1) {
            answer = device.deviceDescriptor;
        } else if (type == 2 && index < device.configurations.size()) {
            answer = device.configurations[index];
        } else if (type == 3 && index == 0) {
            answer = {static_cast<std::uint8_t>(2 + 2 * device.languages.size()), 3};
            for (std::uint16_t id : device.languages) {
                answer.push_back(static_cast<std::uint8_t>(id));
                answer.push_back(static_cast<std::uint8_t>(id >> 8));
            }
        } else if (type == 3 && device.strings.count(index) != 0) {
            const std::u16string& s = device.strings.at(index);
            answer = {static_cast<std::uint8_t>(2 + 2 * s.size()), 3};
            for (char16_t c : s) {
                answer.push_back(static_cast<std::uint8_t>(c));
                answer.push_back(static_cast<std::uint8_t>(c >> 8));
            }
        } else {
            usb::WriteStatus(request, usb::RequestOutcome::Stalled);
            return usb::ResultOf(usb::RequestOutcome::Stalled, 0);
        }
    }
    const std::size_t n = std::min(answer.size(), data.size());
    std::copy_n(answer.begin(), n, data.begin());
    const bool in = (h.bmRequestType & 0x80) != 0;
    return {true, 0,
            static_cast<std::uint32_t>(usb::kTransferRequestSize + (in ? n : data.size()))};
}

IoResult FakeDriver::Scripted(const ScriptedAnswer& answer, std::uint32_t code,
                              std::span<std::uint8_t> in, std::span<std::uint8_t> out) {
    const bool control = code == ioctl::ControlTransfer;
    if (control && in.size() < usb::kTransferRequestSize)
        return {false, error::InvalidParameter, 0};
    if (answer.kind == ScriptedAnswer::Kind::Fails) {
        if (control) usb::WriteStatus(in, usb::RequestOutcome::Stalled);
        return usb::ResultOf(usb::RequestOutcome::Stalled, 0);
    }
    const std::span<std::uint8_t> room = control ? in.subspan(usb::kTransferRequestSize) : out;
    const std::size_t n = std::min(answer.bytes.size(), room.size());
    std::copy_n(answer.bytes.begin(), n, room.begin());
    const std::size_t returned = control ? usb::kTransferRequestSize + n : n;
    return {true, 0, answer.claimed.value_or(static_cast<std::uint32_t>(returned))};
}

void FakeDriver::Complete(std::uintptr_t id, IoResult result) {
    Pending& p = pending_.at(id);
    p.done = true;
    p.result = result;
    // The caller may have closed the event since: a real driver signals its own hold on it.
    if (const auto event = events_.find(p.event); event != events_.end()) event->second = true;
}

void FakeDriver::CompleteStuckTransfers() {
    for (auto& [id, p] : pending_) {
        if (p.done) continue;
        std::fill(p.data.begin(), p.data.end(), std::uint8_t{0xA5});
        usb::WriteStatus(p.header, usb::RequestOutcome::Completed);
        Complete(id, {true, 0, static_cast<std::uint32_t>(p.dataOffset + p.data.size())});
    }
}

IoResult FakeDriver::DeviceIoControl(usb::Handle handle, std::uint32_t code,
                                     std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                                     usb::Overlapped* overlapped) {
    Call call;
    call.code = code;
    call.overlapped = overlapped != nullptr;
    if (in.size() >= usb::kTransferRequestSize &&
        (code == ioctl::ControlTransfer || code == ioctl::BufferedTransfer ||
         code == ioctl::DirectTransfer)) {
        call.header = usb::TransferRequest::ReadFrom(in);
        const auto data =
            code == ioctl::DirectTransfer ? out : in.subspan(usb::kTransferRequestSize);
        call.data.assign(data.begin(), data.end());
    } else {
        call.data.assign(in.begin(), in.end());
    }
    calls.push_back(call);

    FakeDevice* device = DeviceOf(handle);
    if (device == nullptr) return {false, error::InvalidHandle, 0};
    const bool transfer = code == ioctl::BufferedTransfer || code == ioctl::DirectTransfer ||
                          code == ioctl::AbortPipe || code == ioctl::ResetPort;
    if (device->script && overlapped == nullptr && !transfer) {
        const ScriptedAnswer answer = device->script(code, call.header);
        if (answer.kind != ScriptedAnswer::Kind::BuiltIn) return Scripted(answer, code, in, out);
    }

    const auto finish = [&](IoResult r, std::span<std::uint8_t> header,
                            std::span<std::uint8_t> data, std::uint8_t endpoint,
                            std::uint32_t dataOffset) -> IoResult {
        if (overlapped == nullptr) return r;
        const std::uintptr_t id = nextRequest_++;
        overlapped->Internal = id;
        pending_[id] = Pending{false, {}, overlapped->hEvent, header, data, endpoint, dataOffset};
        if (!r.ok && r.error == error::IoPending) return r;
        Complete(id, r);
        return r;
    };

    switch (code) {
        case ioctl::ControlTransfer:
            return finish(Control(*device, in), in, {}, 0, 0);
        case ioctl::BufferedTransfer:
        case ioctl::DirectTransfer: {
            const bool direct = code == ioctl::DirectTransfer;
            const std::uint8_t endpoint = in[usb::header::EndpointAddress];
            const std::span<std::uint8_t> data =
                direct ? out : in.subspan(usb::kTransferRequestSize);
            const std::uint32_t offset =
                direct ? 0 : static_cast<std::uint32_t>(usb::kTransferRequestSize);
            if ((endpoint & 0x80) == 0) {
                const IoResult r =
                    finish({true, 0, static_cast<std::uint32_t>(offset + data.size())}, in, {},
                           endpoint, offset);
                if (device->onList) {
                    if (auto reply = device->onList(data)) {
                        inFifo_.insert(inFifo_.end(), reply->begin(), reply->end());
                        for (auto& [id, p] : pending_) {
                            if (p.done || (p.endpoint & 0x80) == 0) continue;
                            const std::size_t n = std::min(inFifo_.size(), p.data.size());
                            std::copy_n(inFifo_.begin(), n, p.data.begin());
                            inFifo_.erase(inFifo_.begin(),
                                          inFifo_.begin() + static_cast<std::ptrdiff_t>(n));
                            Complete(id, {true, 0, static_cast<std::uint32_t>(p.dataOffset + n)});
                        }
                    }
                }
                return r;
            }
            if (data.empty()) return finish({true, 0, offset}, in, data, endpoint, offset);
            return finish({false, error::IoPending, 0}, in, data, endpoint, offset);
        }
        case ioctl::AbortPipe: {
            const std::uint8_t endpoint = in.empty() ? 0 : in[0];
            if (abortsNeverComplete) return {true, 0, 0};
            for (auto& [id, p] : pending_) {
                if (p.done || p.endpoint != endpoint) continue;
                usb::WriteStatus(p.header, usb::RequestOutcome::Cancelled);
                Complete(id, usb::ResultOf(usb::RequestOutcome::Cancelled, 0));
            }
            return {true, 0, 0};
        }
        case ioctl::ResetPort:
            return {true, 0, 0};
        case ioctl::GetDriverVersion:
        case ioctl::GetUsbdiVersion:
            if (out.size() < 4) return {false, error::InvalidParameter, 0};
            usb::StoreLe32(out, 0,
                           code == ioctl::GetDriverVersion ? device->driverVersion : 0x0200);
            return {true, 0, 4};
        case ioctl::GetAltInterfaceSetting:
            if (!device->altSetting || out.empty()) return {false, error::GenFailure, 0};
            out[0] = *device->altSetting;
            return {true, 0, 1};
        case ioctl::GetAddress:
            if (out.empty()) return {false, error::InvalidParameter, 0};
            out[0] = device->address;
            return {true, 0, 1};
        case ioctl::GetDeviceName:
        case ioctl::GetFriendlyName: {
            const std::string& text =
                code == ioctl::GetDeviceName ? device->deviceName : device->friendlyName;
            const std::size_t n = std::min(text.size(), out.size());
            std::copy_n(text.begin(), n, out.begin());
            return {true, 0, static_cast<std::uint32_t>(n)};
        }
        default:
            return {false, error::InvalidParameter, 0};
    }
}

IoResult FakeDriver::GetOverlappedResult(usb::Handle, usb::Overlapped& overlapped, bool wait) {
    const auto it = pending_.find(overlapped.Internal);
    if (it == pending_.end()) return {false, error::InvalidParameter, 0};
    if (!it->second.done) {
        if (wait) ++hangs;
        return {false, error::IoIncomplete, 0};
    }
    return it->second.result;
}

usb::EventHandle FakeDriver::CreateEventObject(bool, bool initialState) {
    ++eventsCreated;
    events_[nextEvent_] = initialState;
    return nextEvent_++;
}

usb::WaitResult FakeDriver::WaitForEvent(usb::EventHandle event, std::uint32_t milliseconds) {
    auto it = events_.find(event);
    if (it == events_.end()) return usb::WaitResult::Failed;
    if (it->second) {
        it->second = false;
        return usb::WaitResult::Signalled;
    }
    if (milliseconds == usb::kInfinite) {
        ++hangs;
        return usb::WaitResult::Failed;
    }
    waitedMs += milliseconds;
    return usb::WaitResult::TimedOut;
}

bool FakeDriver::CloseEvent(usb::EventHandle event) {
    return events_.erase(event) == 1;
}

usb::NotifyHandle FakeDriver::RegisterInterfaceNotification(usb::WindowHandle, const usb::Guid&) {
    return static_cast<usb::NotifyHandle>(++registrations);
}

usb::NotifyHandle FakeDriver::RegisterHandleNotification(usb::WindowHandle, usb::Handle) {
    return static_cast<usb::NotifyHandle>(++registrations);
}

bool FakeDriver::UnregisterNotification(usb::NotifyHandle) {
    return !unregisterFails;
}

}  // namespace qdm::test
