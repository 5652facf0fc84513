#include "usb/UsbDevice.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "state/DiagnosticLog.h"
#include "usb/TransferRequest.h"

namespace qdm::usb {

namespace {
constexpr std::uint32_t kDescriptorTimeoutSeconds = 5;
constexpr std::uint16_t kEnglishUs = 0x0409;
}  // namespace

UsbDevice::UsbDevice(WindowHandle window, const Guid& interfaceGuid, bool openNow,
                     UsbDriver& driver)
    : Window(window), InterfaceGuid(interfaceGuid), driver_(&driver) {
    if (Window != 0)
        DeviceNotification = driver_->RegisterInterfaceNotification(Window, InterfaceGuid);
    if (openNow) Open(DeviceIndex);
}

UsbDevice::~UsbDevice() {
    CloseQuietly();
    if (DeviceNotification != 0) driver_->UnregisterNotification(DeviceNotification);
}

void UsbDevice::Release() {
    Close();
    if (DeviceNotification != 0) {
        const bool unregistered = driver_->UnregisterNotification(DeviceNotification);
        DeviceNotification = 0;
        if (!unregistered) throw UsbCloseError("Failed to close the device notification handle.");
    }
}

std::uint8_t UsbDevice::DeviceCount() {
    const std::size_t n = driver_->PresentInterfaces(InterfaceGuid).size();
    Devices = static_cast<std::uint8_t>(
        std::min<std::size_t>(n, std::numeric_limits<std::uint8_t>::max()));
    return Devices;
}

bool UsbDevice::DeviceRequest(std::uint32_t code, std::span<std::uint8_t> buffer) {
    if (!IsOpen()) return false;
    const IoResult r = driver_->DeviceIoControl(DeviceHandle, code, buffer, buffer, nullptr);
    BytesReturned = r.bytes;
    if (!r.ok) {
        Diagnose([&] {
            char text[48];
            std::snprintf(text, sizeof text,
                          "usb: I/O control 0x%06X failed: ", static_cast<unsigned>(code));
            return text + ErrorName(r.error);
        });
    }
    return r.ok;
}

bool UsbDevice::ResetPort() {
    return DeviceRequest(ioctl::ResetPort, {});
}

std::uint8_t UsbDevice::EndPointCount() const {
    if (!IsOpen() || EndPoints.empty()) return 0;
    return static_cast<std::uint8_t>(EndPoints.size());
}

bool UsbDevice::OpenHandle(std::uint8_t index) {
    Devices = DeviceCount();
    if (Devices == 0 || index > Devices - 1) return false;
    // The list is made again: a device may have come or gone since it was counted.
    const std::vector<std::string> paths = driver_->PresentInterfaces(InterfaceGuid);
    if (index >= paths.size()) return false;
    DevicePath = paths[index].substr(0, kTextSize - 1);
    OpenError = 0;
    DeviceHandle = driver_->OpenDevice(paths[index], OpenError);
    if (!IsOpen())
        Diagnose([&] { return "usb: cannot open " + paths[index] + ": " + ErrorName(OpenError); });
    return IsOpen();
}

bool UsbDevice::Open(std::uint8_t index) {
    if (IsOpen()) Close();
    if (!OpenHandle(index)) {
        DeviceHandle = InvalidHandle;
        DeviceIndex = 0;
        return false;
    }
    DeviceIndex = index;

    const std::span<const std::uint8_t> device = GetDescriptor(0x0100, 0, 18);
    if (device.size() >= DeviceDescriptor.size()) {
        std::copy_n(device.begin(), DeviceDescriptor.size(), DeviceDescriptor.begin());
        BcdUsb = LoadLe16(device, 2);
        DeviceClass = device[4];
        DeviceSubClass = device[5];
        DeviceProtocol = device[6];
        MaxPacketSize = device[7];
        VendorId = LoadLe16(device, 8);
        ProductId = LoadLe16(device, 10);
        BcdDevice = LoadLe16(device, 12);
        ConfigCount = device[17];
        ReadStrings();
    }

    std::array<std::uint8_t, 1> one{};
    UsbAddress = DeviceRequest(ioctl::GetAddress, one) && BytesReturned > 0 ? one[0] : 0;
    DeviceName = RequestText(ioctl::GetDeviceName);
    FriendlyName = RequestText(ioctl::GetFriendlyName);
    DriverVersion = RequestU32(ioctl::GetDriverVersion);
    UsbdiVersion = RequestU32(ioctl::GetUsbdiVersion);

    ReadConfigurations();

    ControlEndPoint = std::make_unique<UsbControlEndPoint>(*driver_, DeviceHandle);
    ControlEndPoint->DescriptorLength = 7;
    ControlEndPoint->DescriptorType = 5;
    ControlEndPoint->Address = 0;
    ControlEndPoint->Attributes = 0;
    ControlEndPoint->MaxPacketSize = MaxPacketSize;
    ControlEndPoint->Interval = 0;

    if (!Configurations[0] || !Configurations[0]->Interfaces[0]) return false;
    SelectConfiguration0();

    if (DeviceNotification != 0)
        HandleNotification = driver_->RegisterHandleNotification(Window, DeviceHandle);
    return true;
}

std::span<const std::uint8_t> UsbDevice::GetDescriptor(std::uint16_t value, std::uint16_t index,
                                                       std::uint16_t length) {
    std::span<std::uint8_t> request;
    if (kTransferRequestSize + length <= descriptorRequest_.size()) {
        request = std::span(descriptorRequest_).first(kTransferRequestSize + length);
    } else {
        longDescriptorRequest_.resize(kTransferRequestSize + length);
        request = longDescriptorRequest_;
    }
    std::fill(request.begin(), request.end(), std::uint8_t{0});
    TransferRequest h;
    h.bmRequestType = 0x80;
    h.bRequest = 6;
    h.wValue = value;
    h.wIndex = index;
    h.wLength = length;
    h.TimeOut = kDescriptorTimeoutSeconds;
    h.BufferOffset = kTransferRequestSize;
    h.BufferLength = length;
    h.WriteTo(request);
    const bool ok = DeviceRequest(ioctl::ControlTransfer, request);
    const TransferRequest answered = TransferRequest::ReadFrom(request);
    UsbdStatus = answered.UsbdStatus;
    NtStatus = answered.NtStatus;
    if (!ok) return {};
    // Only the bytes the driver says it returned count, however many were asked for.
    const std::size_t returned =
        BytesReturned > kTransferRequestSize
            ? std::min<std::size_t>(BytesReturned - kTransferRequestSize, length)
            : 0;
    return request.subspan(kTransferRequestSize, returned);
}

void UsbDevice::ReadStrings() {
    LanguageId = 0;
    const std::span<const std::uint8_t> head = GetDescriptor(0x0300, 0, 2);
    if (!head.empty() && head[0] >= 2) {
        const std::span<const std::uint8_t> list = GetDescriptor(0x0300, 0, head[0]);
        // The second answer need not repeat the first one's length: only what it claims now
        // and really returned counts, and a claim below its own two header bytes holds no ID.
        const std::size_t bytes = list.empty() ? 0 : std::min<std::size_t>(list[0], list.size());
        const std::size_t ids = bytes >= 2 ? (bytes - 2) / 2 : 0;
        for (std::size_t i = 0; i < ids; ++i) {
            const std::uint16_t id = LoadLe16(list, 2 + 2 * i);
            if (i == 0) LanguageId = id;
            if (id == kEnglishUs) LanguageId = kEnglishUs;
        }
    }
    Manufacturer = ReadString(DeviceDescriptor[14]);
    Product = ReadString(DeviceDescriptor[15]);
    SerialNumber = ReadString(DeviceDescriptor[16]);
}

std::u16string UsbDevice::ReadString(std::uint8_t index) {
    const auto value = static_cast<std::uint16_t>(0x0300 + index);
    const std::span<const std::uint8_t> head = GetDescriptor(value, LanguageId, 2);
    if (head.empty()) return {};
    const std::span<const std::uint8_t> full = GetDescriptor(value, LanguageId, head[0]);
    if (full.size() < 2) return {};
    const std::size_t bytes = std::min<std::size_t>(full[0], full.size());
    const std::size_t units =
        std::min<std::size_t>(bytes >= 2 ? (bytes - 2) / 2 : 0, kTextSize - 1);
    std::u16string text(units, u'\0');
    for (std::size_t i = 0; i < units; ++i)
        text[i] = static_cast<char16_t>(LoadLe16(full, 2 + 2 * i));
    return text;
}

std::uint32_t UsbDevice::RequestU32(std::uint32_t code) {
    std::array<std::uint8_t, 4> value{};
    if (!DeviceRequest(code, value) || BytesReturned == 0) return 0;
    return LoadLe32(value, 0);
}

std::string UsbDevice::RequestText(std::uint32_t code) {
    std::array<std::uint8_t, kDriverNameSize> text{};
    if (!DeviceRequest(code, text)) return {};
    const auto end = std::find(text.begin(), text.end() - 1, std::uint8_t{0});
    return {text.begin(), end};
}

void UsbDevice::ReadConfigurations() {
    const std::size_t count = std::min<std::size_t>(ConfigCount, kMaxConfigurations);
    for (std::size_t i = 0; i < count; ++i) {
        const auto value = static_cast<std::uint16_t>(0x0200 + i);
        const std::span<const std::uint8_t> head = GetDescriptor(value, 0, 9);
        if (head.size() < 4) continue;
        const std::uint16_t total = LoadLe16(head, 2);
        const std::span<const std::uint8_t> set = GetDescriptor(value, 0, total);
        ConfigDescriptors[i].assign(set.begin(), set.end());
        if (ConfigDescriptors[i].size() < 9) continue;
        Configurations[i] =
            std::make_unique<UsbConfig>(*driver_, DeviceHandle, ConfigDescriptors[i], nullptr);
    }
}

void UsbDevice::SelectConfiguration0() {
    UsbConfig& config = *Configurations[0];
    ConfigIndex = 0;
    ConfigValue = config.bConfigurationValue;
    ConfigAttributes = config.bmAttributes;
    MaxPower = config.MaxPower;
    InterfaceCount = config.bNumInterfaces;
    AltInterfaceCount = config.AltInterfaceCount;
    InterfaceNumber = config.Interfaces[0]->bInterfaceNumber;

    std::array<std::uint8_t, 1> alt{};
    const std::uint8_t current = DeviceRequest(ioctl::GetAltInterfaceSetting, alt) ? alt[0] : 0xFF;
    for (std::uint8_t i = 0; i < config.AltInterfaceCount; ++i) {
        UsbInterface& candidate = *config.Interfaces[i];
        if (candidate.bAlternateSetting != current) continue;
        InterfaceIndex = i;
        InterfaceClass = candidate.bInterfaceClass;
        InterfaceSubClass = candidate.bInterfaceSubClass;
        InterfaceProtocol = candidate.bInterfaceProtocol;
        candidate.EndPoints[0] = ControlEndPoint.get();
        SetEndPoints();
        return;
    }
}

void UsbDevice::SetEndPoints() {
    if (ConfigCount == 0 || InterfaceCount == 0) return;
    const auto& config = Configurations[ConfigIndex];
    if (!config || !config->Interfaces[InterfaceIndex]) return;
    UsbInterface& selected = *config->Interfaces[InterfaceIndex];
    selected.EndPoints[0] = ControlEndPoint.get();
    const std::size_t entries =
        std::min<std::size_t>(std::size_t{selected.bNumEndpoints} + 1, kMaxEndpointEntries);
    EndPoints = std::span<UsbEndPoint* const>(selected.EndPoints.data(), entries);

    IsocInEndPoint = IsocOutEndPoint = nullptr;
    BulkInEndPoint = BulkOutEndPoint = nullptr;
    InterruptInEndPoint = InterruptOutEndPoint = nullptr;
    for (std::size_t i = 1; i < entries; ++i) {
        UsbEndPoint* endpoint = EndPoints[i];
        if (endpoint == nullptr) continue;  // an endpoint of a kind that has no class
        const bool in = (endpoint->Address & 0x80) != 0;
        if (DriverVersion < kBufferedModeBelowDriverVersion)
            endpoint->TransferMode = kTransferBuffered;
        UsbEndPoint** slot = nullptr;
        switch (endpoint->Attributes) {
            case 1:
                slot = in ? &IsocInEndPoint : &IsocOutEndPoint;
                break;
            case 2:
                slot = in ? &BulkInEndPoint : &BulkOutEndPoint;
                break;
            case 3:
                slot = in ? &InterruptInEndPoint : &InterruptOutEndPoint;
                break;
            default:
                break;
        }
        if (slot != nullptr && *slot == nullptr) *slot = endpoint;
    }
}

void UsbDevice::Close() {
    bool notificationRefused = false;
    bool closeRefused = false;
    if (IsOpen()) {
        if (HandleNotification != 0)
            notificationRefused = !driver_->UnregisterNotification(HandleNotification);
        closeRefused = !driver_->CloseDevice(DeviceHandle);
        DeviceHandle = InvalidHandle;
        HandleNotification = 0;
    }
    DeviceDescriptor.fill(0);
    EndPoints = {};
    IsocInEndPoint = IsocOutEndPoint = nullptr;
    BulkInEndPoint = BulkOutEndPoint = nullptr;
    InterruptInEndPoint = InterruptOutEndPoint = nullptr;
    for (auto& config : Configurations)
        config.reset();
    for (auto& set : ConfigDescriptors)
        set.clear();
    ControlEndPoint.reset();
    Devices = 0;
    ConfigCount = 0;
    InterfaceCount = 0;
    AltInterfaceCount = 0;
    if (notificationRefused) throw UsbCloseError("Failed to close the handle notification handle.");
    if (closeRefused) throw UsbCloseError("Failed to close handle to driver.");
}

void UsbDevice::CloseQuietly() noexcept {
    try {
        Close();
    } catch (const UsbCloseError& e) {
        // Nobody is left to tell but the diagnostic log; the handle is gone either way.
        Diagnose([&] { return std::string("usb: ") + e.what(); });
    }
}

}  // namespace qdm::usb
