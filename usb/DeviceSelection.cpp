#include "usb/DeviceSelection.h"

#include <utility>

#include "state/DiagnosticLog.h"

namespace qdm::usb {

std::vector<DeviceLocation> PresentDongles(UsbDriver& driver) {
    return driver.LocateInterfaces(DriverInterfaceGuid);
}

std::string IdList(const std::vector<DeviceLocation>& dongles) {
    std::string list;
    for (const DeviceLocation& dongle : dongles)
        list += (list.empty() ? "" : ", ") + (dongle.id.empty() ? "(no port ID)" : dongle.id);
    return list.empty() ? "none" : list;
}

SelectedDeviceDriver::SelectedDeviceDriver(std::shared_ptr<UsbDriver> inner, std::string id)
    : inner_(std::move(inner)), id_(std::move(id)) {}

bool SelectedDeviceDriver::Present() {
    return !LocateInterfaces(DriverInterfaceGuid).empty();
}

std::vector<DeviceLocation> SelectedDeviceDriver::LocateInterfaces(const Guid& interfaceClass) {
    std::vector<DeviceLocation> found;
    for (DeviceLocation& device : inner_->LocateInterfaces(interfaceClass))
        if (device.id == id_) {
            found.push_back(std::move(device));
            break;
        }
    shown_ = found.empty() ? std::string() : found.front().path;
    return found;
}

std::vector<std::string> SelectedDeviceDriver::PresentInterfaces(const Guid& interfaceClass) {
    std::vector<std::string> paths;
    for (DeviceLocation& device : LocateInterfaces(interfaceClass))
        paths.push_back(std::move(device.path));
    return paths;
}

Handle SelectedDeviceDriver::OpenDevice(const std::string& path, std::uint32_t& error) {
    if (path.empty() || path != shown_) {
        Diagnose([&] { return "usb: " + path + " is not " + id_ + ": not opened"; });
        error = error::FileNotFound;
        return InvalidHandle;
    }
    return inner_->OpenDevice(path, error);
}

}  // namespace qdm::usb
