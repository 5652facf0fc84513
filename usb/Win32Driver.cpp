#include "usb/Win32Driver.h"

// clang-format off
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
// clang-format on

#include <array>
#include <cstddef>
#include <cstring>

namespace qdm::usb {

namespace {

using win32::Win32Calls;

constexpr win32::RecordSizes kSizes = win32::RecordSizesFor(win32::kNativePointerBits);

// The records the portable code builds byte by byte must be the ones the SDK declares.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == kSizes.interfaceData);
static_assert(sizeof(SP_DEVINFO_DATA) == kSizes.devInfoData);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == kSizes.detailSizeField);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == win32::kDetailPathOffset);
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == kSizes.interfaceFilter);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_classguid) == 12);
static_assert(sizeof(DEV_BROADCAST_HANDLE) == kSizes.handleFilter);
static_assert(offsetof(DEV_BROADCAST_HANDLE, dbch_handle) == (sizeof(void*) == 4 ? 12 : 16));
static_assert((DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) == win32::kClassDevFlags);
static_assert(GENERIC_READ == win32::kGenericRead && GENERIC_WRITE == win32::kGenericWrite);
static_assert(FILE_SHARE_READ == win32::kFileShareRead);
static_assert(FILE_SHARE_WRITE == win32::kFileShareWrite);
static_assert(OPEN_EXISTING == win32::kOpenExisting);
static_assert(FILE_FLAG_OVERLAPPED == win32::kFileFlagOverlapped);
static_assert(WAIT_OBJECT_0 == win32::kWaitObject0 && WAIT_TIMEOUT == win32::kWaitTimeout);
static_assert(WAIT_FAILED == win32::kWaitFailed && INFINITE == kInfinite);
static_assert(DBT_DEVTYP_DEVICEINTERFACE == win32::kDbtDevtypDeviceInterface);
static_assert(DBT_DEVTYP_HANDLE == win32::kDbtDevtypHandle);
static_assert(DEVICE_NOTIFY_WINDOW_HANDLE == win32::kDeviceNotifyWindowHandle);
static_assert(ERROR_NO_MORE_ITEMS == error::NoMoreItems && ERROR_IO_PENDING == error::IoPending);
static_assert(ERROR_IO_INCOMPLETE == error::IoIncomplete);
static_assert(ERROR_INSUFFICIENT_BUFFER == win32::kErrorInsufficientBuffer);
static_assert(ERROR_INVALID_USER_BUFFER == win32::kErrorInvalidUserBuffer);
static_assert(SPDRP_LOCATION_INFORMATION == win32::kSpdrpLocationInformation);
static_assert(SPDRP_LOCATION_PATHS == win32::kSpdrpLocationPaths);
static_assert(REG_SZ == win32::kRegSz && REG_MULTI_SZ == win32::kRegMultiSz);

HANDLE ToSystem(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t FromSystem(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

GUID ToSystem(const Guid& guid) {
    GUID g{};
    g.Data1 = guid.Data1;
    g.Data2 = guid.Data2;
    g.Data3 = guid.Data3;
    std::memcpy(g.Data4, guid.Data4.data(), sizeof g.Data4);
    return g;
}

DWORD Size(std::size_t size) {
    return static_cast<DWORD>(size);
}

template <typename Record>
bool Fits(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= sizeof(Record);
}

class SystemOverlapped final : public Win32Calls::OverlappedRecord {
  public:
    explicit SystemOverlapped(EventHandle event) { record.hEvent = ToSystem(event); }
    OVERLAPPED record{};
};

OVERLAPPED* ToSystem(Win32Calls::OverlappedRecord& overlapped) {
    return &static_cast<SystemOverlapped&>(overlapped).record;
}

class SystemWin32Calls final : public Win32Calls {
  public:
    std::uint32_t GetLastError() override { return ::GetLastError(); }

    Handle SetupDiGetClassDevsA(const Guid& classGuid, std::uint32_t flags) override {
        const GUID guid = ToSystem(classGuid);
        return FromSystem(::SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags));
    }

    bool SetupDiEnumDeviceInterfaces(Handle list, const Guid& classGuid, std::uint32_t index,
                                     std::span<std::uint8_t> interfaceData) override {
        if (!Fits<SP_DEVICE_INTERFACE_DATA>(interfaceData)) return Refuse();
        SP_DEVICE_INTERFACE_DATA data;
        std::memcpy(&data, interfaceData.data(), sizeof data);
        const GUID guid = ToSystem(classGuid);
        const BOOL ok = ::SetupDiEnumDeviceInterfaces(ToSystem(list), nullptr, &guid, index, &data);
        const DWORD error = ::GetLastError();
        std::memcpy(interfaceData.data(), &data, sizeof data);
        ::SetLastError(error);
        return ok != FALSE;
    }

    bool SetupDiGetDeviceInterfaceDetailA(Handle list, std::span<std::uint8_t> interfaceData,
                                          std::span<std::uint8_t> detail,
                                          std::uint32_t& requiredSize,
                                          std::span<std::uint8_t> devInfo) override {
        if (!Fits<SP_DEVICE_INTERFACE_DATA>(interfaceData)) return Refuse();
        if (!devInfo.empty() && !Fits<SP_DEVINFO_DATA>(devInfo)) return Refuse();
        SP_DEVICE_INTERFACE_DATA data;
        std::memcpy(&data, interfaceData.data(), sizeof data);
        SP_DEVINFO_DATA info{};
        if (!devInfo.empty()) std::memcpy(&info, devInfo.data(), sizeof info);
        // The detail record has a variable length; the caller's buffer is the record itself.
        auto* record = detail.empty()
                           ? nullptr
                           : reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail.data());
        DWORD required = 0;
        const BOOL ok =
            ::SetupDiGetDeviceInterfaceDetailA(ToSystem(list), &data, record, Size(detail.size()),
                                               &required, devInfo.empty() ? nullptr : &info);
        const DWORD error = ::GetLastError();
        requiredSize = required;
        if (!devInfo.empty()) std::memcpy(devInfo.data(), &info, sizeof info);
        ::SetLastError(error);
        return ok != FALSE;
    }

    bool SetupDiGetDeviceRegistryPropertyA(Handle list, std::span<const std::uint8_t> devInfo,
                                           std::uint32_t property, std::uint32_t& type,
                                           std::span<std::uint8_t> buffer,
                                           std::uint32_t& requiredSize) override {
        if (!Fits<SP_DEVINFO_DATA>(devInfo)) return Refuse();
        SP_DEVINFO_DATA info;
        std::memcpy(&info, devInfo.data(), sizeof info);
        DWORD valueType = 0;
        DWORD required = 0;
        const BOOL ok = ::SetupDiGetDeviceRegistryPropertyA(
            ToSystem(list), &info, property, &valueType, buffer.empty() ? nullptr : buffer.data(),
            Size(buffer.size()), &required);
        const DWORD error = ::GetLastError();
        type = valueType;
        requiredSize = required;
        ::SetLastError(error);
        return ok != FALSE;
    }

    bool SetupDiDestroyDeviceInfoList(Handle list) override {
        return ::SetupDiDestroyDeviceInfoList(ToSystem(list)) != FALSE;
    }

    Handle CreateFileA(const std::string& path, std::uint32_t access, std::uint32_t share,
                       std::uint32_t creation, std::uint32_t flags) override {
        return FromSystem(
            ::CreateFileA(path.c_str(), access, share, nullptr, creation, flags, nullptr));
    }

    bool CloseHandle(Handle object) override { return ::CloseHandle(ToSystem(object)) != FALSE; }

    std::unique_ptr<OverlappedRecord> NewOverlapped(EventHandle event) override {
        return std::make_unique<SystemOverlapped>(event);
    }

    bool DeviceIoControl(Handle device, std::uint32_t code, std::span<std::uint8_t> in,
                         std::span<std::uint8_t> out, std::uint32_t& bytes,
                         OverlappedRecord& overlapped) override {
        DWORD returned = 0;
        const BOOL ok = ::DeviceIoControl(ToSystem(device), code, in.empty() ? nullptr : in.data(),
                                          Size(in.size()), out.empty() ? nullptr : out.data(),
                                          Size(out.size()), &returned, ToSystem(overlapped));
        bytes = returned;
        return ok != FALSE;
    }

    bool GetOverlappedResult(Handle device, OverlappedRecord& overlapped, std::uint32_t& bytes,
                             bool wait) override {
        DWORD returned = 0;
        const BOOL ok = ::GetOverlappedResult(ToSystem(device), ToSystem(overlapped), &returned,
                                              wait ? TRUE : FALSE);
        bytes = returned;
        return ok != FALSE;
    }

    bool CancelIoEx(Handle device, OverlappedRecord& overlapped) override {
        return ::CancelIoEx(ToSystem(device), ToSystem(overlapped)) != FALSE;
    }

    EventHandle CreateEventA(bool manualReset, bool initialState) override {
        return FromSystem(::CreateEventA(nullptr, manualReset ? TRUE : FALSE,
                                         initialState ? TRUE : FALSE, nullptr));
    }

    std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) override {
        return ::WaitForSingleObject(ToSystem(object), milliseconds);
    }

    NotifyHandle RegisterDeviceNotificationA(WindowHandle recipient,
                                             std::span<const std::uint8_t> filter,
                                             std::uint32_t flags) override {
        // The filter goes to the system as the record it describes, suitably aligned.
        alignas(DEV_BROADCAST_HANDLE) std::array<std::uint8_t, 64> record{};
        if (filter.size() > record.size()) {
            Refuse();
            return 0;
        }
        std::memcpy(record.data(), filter.data(), filter.size());
        return FromSystem(::RegisterDeviceNotificationA(reinterpret_cast<HANDLE>(recipient),
                                                        record.data(), flags));
    }

    bool UnregisterDeviceNotification(NotifyHandle notification) override {
        return ::UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(notification)) != FALSE;
    }

  private:
    static bool Refuse() {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
};

}  // namespace

std::shared_ptr<win32::Win32Calls> CreateSystemWin32Calls() {
    return std::make_shared<SystemWin32Calls>();
}

std::shared_ptr<UsbDriver> CreateWin32Driver() {
    return std::make_shared<win32::Win32DriverCore>(CreateSystemWin32Calls());
}

}  // namespace qdm::usb
