#include "usb/UsbDriver.h"

#include <cstdio>
#include <utility>

namespace qdm::usb {

std::array<std::uint8_t, 16> Guid::Bytes() const {
    std::array<std::uint8_t, 16> b{};
    for (std::size_t i = 0; i < 4; ++i)
        b[i] = static_cast<std::uint8_t>(Data1 >> (8 * i));
    for (std::size_t i = 0; i < 2; ++i)
        b[4 + i] = static_cast<std::uint8_t>(Data2 >> (8 * i));
    for (std::size_t i = 0; i < 2; ++i)
        b[6 + i] = static_cast<std::uint8_t>(Data3 >> (8 * i));
    for (std::size_t i = 0; i < 8; ++i)
        b[8 + i] = Data4[i];
    return b;
}

std::string Guid::ToString() const {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(Data1), Data2, Data3, Data4[0], Data4[1], Data4[2],
                  Data4[3], Data4[4], Data4[5], Data4[6], Data4[7]);
    return text;
}

std::vector<DeviceLocation> UsbDriver::LocateInterfaces(const Guid& interfaceClass) {
    std::vector<DeviceLocation> found;
    for (std::string& path : PresentInterfaces(interfaceClass))
        found.push_back({std::move(path), {}});
    return found;
}

void UsbDriver::Abandon(Handle, Overlapped&, RequestMemory memory) {
    abandoned_.push_back(std::move(memory));
}

namespace {

std::string Named(const char* name, const std::string& number) {
    return name != nullptr ? std::string(name) + " (" + number + ")" : number;
}

}  // namespace

std::string ErrorName(std::uint32_t error) {
    const char* name = nullptr;
    switch (error) {
        // clang-format off
        case error::Success: name = "ERROR_SUCCESS"; break;
        case error::FileNotFound: name = "ERROR_FILE_NOT_FOUND"; break;
        case error::AccessDenied: name = "ERROR_ACCESS_DENIED"; break;
        case error::InvalidHandle: name = "ERROR_INVALID_HANDLE"; break;
        case error::GenFailure: name = "ERROR_GEN_FAILURE"; break;
        case error::SharingViolation: name = "ERROR_SHARING_VIOLATION"; break;
        case error::InvalidParameter: name = "ERROR_INVALID_PARAMETER"; break;
        case error::Busy: name = "ERROR_BUSY"; break;
        case error::WaitTimeout: name = "WAIT_TIMEOUT"; break;
        case error::NoMoreItems: name = "ERROR_NO_MORE_ITEMS"; break;
        case error::OperationAborted: name = "ERROR_OPERATION_ABORTED"; break;
        case error::IoIncomplete: name = "ERROR_IO_INCOMPLETE"; break;
        case error::IoPending: name = "ERROR_IO_PENDING"; break;
        case error::DeviceNotConnected: name = "ERROR_DEVICE_NOT_CONNECTED"; break;
        // clang-format on
        default:
            break;
    }
    return Named(name, (name != nullptr ? "" : "Win32 error ") + std::to_string(error));
}

std::string StatusName(std::uint32_t value) {
    const char* name = nullptr;
    switch (value) {
        // clang-format off
        case status::NtSuccess: name = "SUCCESS"; break;
        case status::NtUnsuccessful: name = "STATUS_UNSUCCESSFUL"; break;
        case status::NtCancelled: name = "STATUS_CANCELLED"; break;
        case status::NtNoSuchDevice: name = "STATUS_NO_SUCH_DEVICE"; break;
        case status::NtIoTimeout: name = "STATUS_IO_TIMEOUT"; break;
        case status::UsbdStall: name = "USBD_STATUS_STALL_PID"; break;
        case status::UsbdDataOverrun: name = "USBD_STATUS_DATA_OVERRUN"; break;
        case status::UsbdXactError: name = "USBD_STATUS_XACT_ERROR"; break;
        case status::UsbdTimeout: name = "USBD_STATUS_TIMEOUT"; break;
        case status::UsbdCancelled: name = "USBD_STATUS_CANCELED"; break;
        case status::UsbdDeviceGone: name = "USBD_STATUS_DEVICE_GONE"; break;
        // clang-format on
        default:
            break;
    }
    char number[16];
    std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(value));
    return Named(name, number);
}

namespace {
std::shared_ptr<UsbDriver>& ActiveSlot() {
    static std::shared_ptr<UsbDriver> driver;
    return driver;
}
}  // namespace

std::shared_ptr<UsbDriver> ActiveDriverShared() {
    auto& slot = ActiveSlot();
    if (!slot) slot = CreatePlatformDriver();
    return slot;
}

UsbDriver& ActiveDriver() {
    return *ActiveDriverShared();
}

void SetActiveDriver(std::shared_ptr<UsbDriver> driver) {
    ActiveSlot() = std::move(driver);
}

}  // namespace qdm::usb
