#pragma once
// The program's view of one writer dongle: found through the driver's interface class, opened,
// its descriptors read and its configuration / interface / endpoint tree built. Every operation
// creates one, uses it and releases it.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "usb/TransferRequest.h"
#include "usb/UsbConfig.h"
#include "usb/UsbDriver.h"
#include "usb/UsbEndPoint.h"

namespace qdm::usb {

// Raised only when the system refuses to close the driver handle or a notification; the text is
// the whole message.
class UsbCloseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kMaxConfigurations = 2;
inline constexpr std::size_t kTextSize = 256;
inline constexpr std::uint32_t kBufferedModeBelowDriverVersion = 0x01050500;

class UsbDevice {
  public:
    UsbDevice(WindowHandle window, const Guid& interfaceGuid, bool openNow,
              UsbDriver& driver = ActiveDriver());
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;
    // Closes quietly; call Release() first where a refused close must be reported.
    ~UsbDevice();

    // Close() and drop the device-interface notification; throws UsbCloseError when the system
    // refuses either. Afterwards the object holds nothing and its destructor does nothing.
    void Release();

    std::uint8_t DeviceCount();
    bool Open(std::uint8_t index);
    void Close();
    [[nodiscard]] bool IsOpen() const { return DeviceHandle != InvalidHandle; }
    bool ResetPort();
    [[nodiscard]] std::uint8_t EndPointCount() const;
    void SetEndPoints();
    // One synchronous I/O-control call with `buffer` as input and output.
    bool DeviceRequest(std::uint32_t code, std::span<std::uint8_t> buffer);

    // The endpoint list of the selected interface: entry 0 is the control endpoint.
    std::span<UsbEndPoint* const> EndPoints;
    std::unique_ptr<UsbControlEndPoint> ControlEndPoint;
    UsbEndPoint* IsocInEndPoint = nullptr;
    UsbEndPoint* IsocOutEndPoint = nullptr;
    UsbEndPoint* BulkInEndPoint = nullptr;
    UsbEndPoint* BulkOutEndPoint = nullptr;
    UsbEndPoint* InterruptInEndPoint = nullptr;
    UsbEndPoint* InterruptOutEndPoint = nullptr;

    std::uint16_t LanguageId = 0;
    std::uint32_t UsbdStatus = 0;
    std::uint32_t NtStatus = 0;
    std::uint32_t DriverVersion = 0;
    std::uint32_t UsbdiVersion = 0;
    std::string DeviceName;
    std::string FriendlyName;
    std::u16string Manufacturer;
    std::u16string Product;
    std::u16string SerialNumber;
    std::string DevicePath;
    std::uint16_t BcdUsb = 0;
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
    std::uint8_t UsbAddress = 0;
    std::uint8_t DeviceClass = 0;
    std::uint8_t DeviceSubClass = 0;
    std::uint8_t DeviceProtocol = 0;
    std::uint8_t MaxPacketSize = 0;
    std::uint16_t BcdDevice = 0;
    std::uint8_t ConfigValue = 0;
    std::uint8_t ConfigAttributes = 0;
    std::uint8_t MaxPower = 0;
    std::uint8_t InterfaceClass = 0;
    std::uint8_t InterfaceSubClass = 0;
    std::uint8_t InterfaceProtocol = 0;
    std::uint32_t BytesReturned = 0;
    std::array<std::uint8_t, 18> DeviceDescriptor{};
    std::array<std::vector<std::uint8_t>, kMaxConfigurations> ConfigDescriptors;
    std::array<std::unique_ptr<UsbConfig>, kMaxConfigurations> Configurations;
    WindowHandle Window = 0;
    Handle DeviceHandle = InvalidHandle;
    NotifyHandle DeviceNotification = 0;
    NotifyHandle HandleNotification = 0;
    Guid InterfaceGuid;
    std::uint8_t Devices = 0;
    std::uint8_t InterfaceCount = 0;
    std::uint8_t AltInterfaceCount = 0;
    std::uint8_t ConfigCount = 0;
    std::uint8_t DeviceIndex = 0;
    std::uint8_t ConfigIndex = 0;
    std::uint8_t InterfaceNumber = 0;
    std::uint8_t InterfaceIndex = 0;

    // Why the last Open failed to get a handle (a system error code; 0 after a good open).
    std::uint32_t OpenError = 0;

    [[nodiscard]] UsbDriver& Driver() const { return *driver_; }

  private:
    // A standard GET_DESCRIPTOR on endpoint 0; the returned bytes, or empty on failure. They lie
    // in the request buffer, so they stay valid only until the next call.
    std::span<const std::uint8_t> GetDescriptor(std::uint16_t value, std::uint16_t index,
                                                std::uint16_t length);
    bool OpenHandle(std::uint8_t index);
    void ReadStrings();
    std::u16string ReadString(std::uint8_t index);
    std::uint32_t RequestU32(std::uint32_t code);
    std::string RequestText(std::uint32_t code);
    void ReadConfigurations();
    void SelectConfiguration0();
    void CloseQuietly() noexcept;

    UsbDriver* driver_;
    // Every open reads a dozen descriptors; all but a long configuration set fit in here, so the
    // reads need no memory of their own.
    std::array<std::uint8_t, kTransferRequestSize + 256> descriptorRequest_{};
    std::vector<std::uint8_t> longDescriptorRequest_;
};

}  // namespace qdm::usb
