#include "tests/support/Win32CallsOverDriver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

#include "usb/TransferRequest.h"

namespace qdm::test {

namespace {

using usb::LoadLe32;
using usb::StoreLe32;
namespace error = usb::error;
namespace win32 = usb::win32;

// Events and devices of the wrapped driver may share numbers; events are shown shifted.
constexpr usb::EventHandle kEventBase = 0x10000000;
constexpr std::uint32_t kErrorInvalidData = 13;
constexpr std::uint32_t kErrorNotFound = 1168;

// Where the emulated enumeration keeps the interface's index + 1: the record's Reserved field.
constexpr std::size_t kReservedOffset = 24;
// And of a device-info record: its DevInst field.
constexpr std::size_t kDevInstOffset = 20;

}  // namespace

class Win32CallsOverDriver::Record final : public OverlappedRecord {
  public:
    Record(usb::EventHandle event, std::shared_ptr<std::size_t> live)
        : overlapped{event, 0}, live_(std::move(live)) {
        ++*live_;
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    ~Record() override { --*live_; }

    usb::Overlapped overlapped;
    std::optional<HeldRequest> held;
    std::optional<usb::IoResult> completed;
    bool cancelled = false;

  private:
    std::shared_ptr<std::size_t> live_;
};

Win32CallsOverDriver::Win32CallsOverDriver(std::shared_ptr<usb::UsbDriver> driver,
                                           unsigned pointerBits)
    : driver_(std::move(driver)), sizes_(win32::RecordSizesFor(pointerBits)) {}

Win32CallsOverDriver::Call& Win32CallsOverDriver::Log(const char* function) {
    calls.emplace_back();
    calls.back().function = function;
    return calls.back();
}

std::vector<std::string> Win32CallsOverDriver::Functions() const {
    std::vector<std::string> names;
    for (const Call& call : calls)
        names.push_back(call.function);
    return names;
}

std::vector<Win32CallsOverDriver::Call> Win32CallsOverDriver::CallsTo(
    const std::string& function) const {
    std::vector<Call> found;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(found),
                 [&](const Call& call) { return call.function == function; });
    return found;
}

usb::Handle Win32CallsOverDriver::SetupDiGetClassDevsA(const usb::Guid& classGuid,
                                                       std::uint32_t flags) {
    Call& call = Log("SetupDiGetClassDevsA");
    call.flags = flags;
    call.text = classGuid.ToString();
    if (failClassDevs) {
        Fail(kErrorInvalidData);
        return usb::InvalidHandle;
    }
    const usb::Handle list = nextList_++;
    lists_[list] = driver_->LocateInterfaces(classGuid);
    return list;
}

bool Win32CallsOverDriver::SetupDiEnumDeviceInterfaces(usb::Handle list, const usb::Guid& classGuid,
                                                       std::uint32_t index,
                                                       std::span<std::uint8_t> interfaceData) {
    Call& call = Log("SetupDiEnumDeviceInterfaces");
    call.index = index;
    call.in.assign(interfaceData.begin(), interfaceData.end());
    call.text = classGuid.ToString();
    const auto it = lists_.find(list);
    if (it == lists_.end()) return Fail(error::InvalidHandle);
    if (interfaceData.size() < sizes_.interfaceData ||
        LoadLe32(interfaceData, 0) != sizes_.interfaceData)
        return Fail(win32::kErrorInvalidUserBuffer);
    if (const auto failing = failingIndexes.find(index); failing != failingIndexes.end())
        return Fail(failing->second);
    if (index >= it->second.size()) return Fail(error::NoMoreItems);
    const auto guid = classGuid.Bytes();
    std::copy(guid.begin(), guid.end(), interfaceData.begin() + 4);
    StoreLe32(interfaceData, 20, 1);  // SPINT_ACTIVE
    StoreLe32(interfaceData, kReservedOffset, index + 1);
    lastError_ = 0;
    return true;
}

bool Win32CallsOverDriver::SetupDiGetDeviceInterfaceDetailA(usb::Handle list,
                                                            std::span<std::uint8_t> interfaceData,
                                                            std::span<std::uint8_t> detail,
                                                            std::uint32_t& requiredSize,
                                                            std::span<std::uint8_t> devInfo) {
    Call& call = Log("SetupDiGetDeviceInterfaceDetailA");
    call.in.assign(detail.begin(), detail.end());
    call.outSize = detail.size();
    call.devInfoSize = devInfo.size();
    const auto it = lists_.find(list);
    if (it == lists_.end()) return Fail(error::InvalidHandle);
    if (interfaceData.size() < kReservedOffset + 4) return Fail(error::InvalidParameter);
    const std::uint32_t index = LoadLe32(interfaceData, kReservedOffset);
    if (index == 0 || index > it->second.size()) return Fail(error::InvalidParameter);
    const std::string& path = it->second[index - 1].path;
    const auto need = static_cast<std::uint32_t>(win32::kDetailOverhead + path.size());
    requiredSize = need;
    if (detail.empty()) return Fail(win32::kErrorInsufficientBuffer);
    if (detail.size() < 4 || LoadLe32(detail, 0) != sizes_.detailSizeField)
        return Fail(win32::kErrorInvalidUserBuffer);
    if (detail.size() < need) return Fail(win32::kErrorInsufficientBuffer);
    if (!devInfo.empty() &&
        (devInfo.size() < sizes_.devInfoData || LoadLe32(devInfo, 0) != sizes_.devInfoData))
        return Fail(win32::kErrorInvalidUserBuffer);
    if (unreadableDetails.count(index - 1) != 0) return Fail(error::GenFailure);
    std::copy(path.begin(), path.end(), detail.begin() + win32::kDetailPathOffset);
    detail[win32::kDetailPathOffset + path.size()] = 0;
    if (!devInfo.empty()) StoreLe32(devInfo, kDevInstOffset, index);
    lastError_ = 0;
    return true;
}

bool Win32CallsOverDriver::SetupDiGetDeviceRegistryPropertyA(
    usb::Handle list, std::span<const std::uint8_t> devInfo, std::uint32_t property,
    std::uint32_t& type, std::span<std::uint8_t> buffer, std::uint32_t& requiredSize) {
    Call& call = Log("SetupDiGetDeviceRegistryPropertyA");
    call.index = property;
    call.outSize = buffer.size();
    const auto it = lists_.find(list);
    if (it == lists_.end()) return Fail(error::InvalidHandle);
    if (devInfo.size() < sizes_.devInfoData || LoadLe32(devInfo, 0) != sizes_.devInfoData)
        return Fail(win32::kErrorInvalidUserBuffer);
    const std::uint32_t index = LoadLe32(devInfo, kDevInstOffset);
    if (index == 0 || index > it->second.size()) return Fail(error::InvalidParameter);
    // The ports are the numbers of the wrapped driver's ID after its bus.
    std::string id = it->second[index - 1].id;
    const std::size_t bus = id.find('-') != std::string::npos ? id.find('-') : id.find(':');
    id = bus == std::string::npos ? std::string("1") : id.substr(bus + 1);
    std::vector<std::string> ports;
    for (std::size_t at = 0; at <= id.size();) {
        const std::size_t end = std::min(id.find('.', at), id.size());
        ports.push_back(id.substr(at, end - at));
        at = end + 1;
    }
    std::string value;
    if (property == win32::kSpdrpLocationPaths && locationPaths) {
        type = win32::kRegMultiSz;
        value = "PCIROOT(0)#PCI(1400)#USBROOT(0)";
        for (const std::string& port : ports)
            value += "#USB(" + port + ")";
        value += std::string(1, '\0') + "ACPI(_SB_)#ACPI(PCI0)";
        value += std::string(2, '\0');
    } else if (property == win32::kSpdrpLocationInformation) {
        type = win32::kRegSz;
        char text[32];
        std::snprintf(text, sizeof text, "Port_#%04d.Hub_#0001", std::atoi(ports.back().c_str()));
        value = std::string(text) + std::string(1, '\0');
    } else {
        return Fail(kErrorInvalidData);
    }
    requiredSize = static_cast<std::uint32_t>(value.size());
    if (buffer.size() < value.size()) return Fail(win32::kErrorInsufficientBuffer);
    std::copy(value.begin(), value.end(), buffer.begin());
    lastError_ = 0;
    return true;
}

bool Win32CallsOverDriver::SetupDiDestroyDeviceInfoList(usb::Handle list) {
    Log("SetupDiDestroyDeviceInfoList");
    if (lists_.erase(list) == 0) return Fail(error::InvalidHandle);
    return true;
}

usb::Handle Win32CallsOverDriver::CreateFileA(const std::string& path, std::uint32_t access,
                                              std::uint32_t share, std::uint32_t creation,
                                              std::uint32_t flags) {
    Call& call = Log("CreateFileA");
    call.text = path;
    call.flags = access;
    call.share = share;
    call.creation = creation;
    call.index = flags;
    std::uint32_t error = 0;
    const usb::Handle handle = driver_->OpenDevice(path, error);
    if (handle == usb::InvalidHandle) {
        Fail(error);
        return usb::InvalidHandle;
    }
    handles_.insert(handle);
    return handle;
}

bool Win32CallsOverDriver::CloseHandle(usb::Handle object) {
    Call& call = Log("CloseHandle");
    call.handle = object;
    if (object >= kEventBase) {
        if (!driver_->CloseEvent(object - kEventBase)) return Fail(error::InvalidHandle);
        return true;
    }
    if (handles_.erase(object) == 0) return Fail(error::InvalidHandle);
    if (!driver_->CloseDevice(object)) return Fail(error::InvalidHandle);
    return true;
}

std::unique_ptr<usb::win32::Win32Calls::OverlappedRecord> Win32CallsOverDriver::NewOverlapped(
    usb::EventHandle event) {
    return std::make_unique<Record>(event >= kEventBase ? event - kEventBase : 0, liveRecords_);
}

usb::IoResult Win32CallsOverDriver::Forward(usb::Handle device, std::uint32_t code,
                                            std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                                            Record& record) {
    return driver_->DeviceIoControl(device, code, in, out, &record.overlapped);
}

bool Win32CallsOverDriver::DeviceIoControl(usb::Handle device, std::uint32_t code,
                                           std::span<std::uint8_t> in, std::span<std::uint8_t> out,
                                           std::uint32_t& bytes, OverlappedRecord& overlapped) {
    auto& record = static_cast<Record&>(overlapped);
    Call& call = Log("DeviceIoControl");
    call.code = code;
    call.handle = device;
    call.in.assign(in.begin(), in.end());
    call.outSize = out.size();
    call.sameBuffer = !in.empty() && in.data() == out.data() && in.size() == out.size();
    call.record = reinterpret_cast<std::uintptr_t>(&record);
    call.event = record.overlapped.hEvent != 0 ? record.overlapped.hEvent + kEventBase : 0;
    record.held.reset();
    record.completed.reset();
    record.cancelled = false;
    bytes = 0;
    if (!refuseIoControl.empty()) {
        const std::uint32_t error = refuseIoControl.front();
        refuseIoControl.erase(refuseIoControl.begin());
        return Fail(error);
    }
    if (holdRequests) {
        record.held = HeldRequest{device, code, in, out};
        return Fail(error::IoPending);
    }
    const usb::IoResult r = Forward(device, code, in, out, record);
    if (!r.ok) return Fail(r.error);
    bytes = r.bytes;
    lastError_ = 0;
    return true;
}

bool Win32CallsOverDriver::GetOverlappedResult(usb::Handle device, OverlappedRecord& overlapped,
                                               std::uint32_t& bytes, bool wait) {
    auto& record = static_cast<Record&>(overlapped);
    Call& call = Log("GetOverlappedResult");
    call.handle = device;
    call.record = reinterpret_cast<std::uintptr_t>(&record);
    call.wait = wait;
    bytes = 0;
    if (record.held && !record.completed) {
        if (!wait && !record.cancelled) return Fail(error::IoIncomplete);
        if (record.cancelled) {
            record.completed = usb::IoResult{false, error::OperationAborted, 0};
        } else {
            const HeldRequest held = *record.held;
            record.completed =
                driver_->DeviceIoControl(held.device, held.code, held.in, held.out, nullptr);
        }
    }
    const usb::IoResult r = record.completed
                                ? *record.completed
                                : driver_->GetOverlappedResult(device, record.overlapped, wait);
    bytes = r.bytes;
    if (!r.ok) return Fail(r.error);
    lastError_ = 0;
    return true;
}

bool Win32CallsOverDriver::CancelIoEx(usb::Handle device, OverlappedRecord& overlapped) {
    auto& record = static_cast<Record&>(overlapped);
    Call& call = Log("CancelIoEx");
    call.handle = device;
    call.record = reinterpret_cast<std::uintptr_t>(&record);
    if (!record.held || record.completed) return Fail(kErrorNotFound);
    record.cancelled = true;
    return true;
}

usb::EventHandle Win32CallsOverDriver::CreateEventA(bool manualReset, bool initialState) {
    Call& call = Log("CreateEventA");
    call.manualReset = manualReset;
    call.initialState = initialState;
    const usb::EventHandle event = driver_->CreateEventObject(manualReset, initialState);
    if (event == 0) {
        Fail(error::InvalidParameter);
        return 0;
    }
    return event + kEventBase;
}

std::uint32_t Win32CallsOverDriver::WaitForSingleObject(usb::Handle object,
                                                        std::uint32_t milliseconds) {
    Call& call = Log("WaitForSingleObject");
    call.handle = object;
    call.milliseconds = milliseconds;
    if (object < kEventBase) {
        Fail(error::InvalidHandle);
        return win32::kWaitFailed;
    }
    switch (driver_->WaitForEvent(object - kEventBase, milliseconds)) {
        case usb::WaitResult::Signalled:
            return win32::kWaitObject0;
        case usb::WaitResult::TimedOut:
            return win32::kWaitTimeout;
        case usb::WaitResult::Failed:
            break;
    }
    Fail(error::InvalidHandle);
    return win32::kWaitFailed;
}

usb::NotifyHandle Win32CallsOverDriver::RegisterDeviceNotificationA(
    usb::WindowHandle recipient, std::span<const std::uint8_t> filter, std::uint32_t flags) {
    Call& call = Log("RegisterDeviceNotificationA");
    call.window = recipient;
    call.in.assign(filter.begin(), filter.end());
    call.flags = flags;
    // The system reads the filter by its size and type fields; so does this.
    if (filter.size() < 12 || LoadLe32(filter, 0) != filter.size() ||
        flags != win32::kDeviceNotifyWindowHandle) {
        Fail(error::InvalidParameter);
        return 0;
    }
    const std::uint32_t type = LoadLe32(filter, 4);
    if (type == win32::kDbtDevtypDeviceInterface && filter.size() == sizes_.interfaceFilter) {
        usb::Guid guid;
        guid.Data1 = LoadLe32(filter, 12);
        guid.Data2 = usb::LoadLe16(filter, 16);
        guid.Data3 = usb::LoadLe16(filter, 18);
        std::copy_n(filter.begin() + 20, 8, guid.Data4.begin());
        return driver_->RegisterInterfaceNotification(recipient, guid);
    }
    if (type == win32::kDbtDevtypHandle && filter.size() == sizes_.handleFilter) {
        const bool narrow = sizes_.handleFilter == win32::RecordSizesFor(32).handleFilter;
        const std::uint64_t value =
            narrow ? LoadLe32(filter, 12)
                   : LoadLe32(filter, 16) | (std::uint64_t{LoadLe32(filter, 20)} << 32);
        return driver_->RegisterHandleNotification(recipient, static_cast<usb::Handle>(value));
    }
    Fail(error::InvalidParameter);
    return 0;
}

bool Win32CallsOverDriver::UnregisterDeviceNotification(usb::NotifyHandle notification) {
    Call& call = Log("UnregisterDeviceNotification");
    call.handle = notification;
    if (!driver_->UnregisterNotification(notification)) return Fail(error::InvalidHandle);
    return true;
}

}  // namespace qdm::test
