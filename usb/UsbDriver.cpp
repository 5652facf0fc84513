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

void UsbDriver::Abandon(Handle, Overlapped&, RequestMemory memory) {
    abandoned_.push_back(std::move(memory));
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
