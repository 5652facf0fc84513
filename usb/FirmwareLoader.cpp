#include "usb/FirmwareLoader.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <system_error>

#include "state/DiagnosticLog.h"
#include "state/SafeFile.h"
#include "usb/Fileiofunctions.h"
#include "usb/UsbDevice.h"

namespace qdm {

namespace {
constexpr std::uint8_t kEndRecordType = 0x01;
constexpr std::uint8_t kExtendedSegmentType = 0x02;
constexpr std::uint8_t kExtendedLinearType = 0x04;

bool Reject(std::string* why, std::string reason) {
    if (why != nullptr) *why = std::move(reason);
    return false;
}

// Why a file operation failed, with the C library's name of the error where it is one.
std::string CauseOf(const std::error_code& ec) {
    bool errnoValue = ec.category() == std::generic_category();
#if !defined(_WIN32)
    errnoValue = errnoValue || ec.category() == std::system_category();
#endif
    return errnoValue ? ec.message() + " (" + ErrnoName(ec.value()) + ")" : ec.message();
}

bool CheckRecord(std::string_view line, std::size_t number, HexRecord& record, std::string* why) {
    const std::string where = "line " + std::to_string(number) + ": ";
    if (line.empty() || line[0] != ':') return Reject(why, where + "does not start with ':'");
    if (line.size() > kMaxRecordLine) return Reject(why, where + "longer than 512 characters");
    for (std::size_t i = 1; i < line.size(); ++i)
        if (!IsHexDigit(line[i]))
            return Reject(why, where + "holds a character that is not hexadecimal");
    if (line.size() < 11 || (line.size() - 1) % 2 != 0)
        return Reject(why, where + "too short for a record");
    std::array<std::uint8_t, kRecordDataCapacity> data{};
    if (!DecodeRecord(line, data, record)) return Reject(why, where + "not a record");
    if (line.size() != 11 + 2u * record.count)
        return Reject(why, where + "its length does not match its byte count");
    unsigned sum = 0;
    for (std::size_t i = 1; i < line.size(); i += 2)
        sum += static_cast<unsigned>(HexDigitValue(line[i]) << 4 | HexDigitValue(line[i + 1]));
    if ((sum & 0xFF) != 0) return Reject(why, where + "wrong checksum");
    return true;
}
}  // namespace

std::vector<std::filesystem::path> FirmwareSearchPaths() {
    std::vector<std::filesystem::path> paths = {ExecutableDirectory() / kFirmwareFileName};
    if (const std::filesystem::path user = UserDataDirectory(); !user.empty())
        paths.push_back(user / kFirmwareFileName);
    for (const std::filesystem::path& folder : PackageDataDirectories())
        paths.push_back(folder / kFirmwareFileName);
    return paths;
}

std::filesystem::path FirmwareFilePath() {
    const std::vector<std::filesystem::path> paths = FirmwareSearchPaths();
    for (const std::filesystem::path& path : paths) {
        std::error_code ec;
        const bool found = std::filesystem::is_regular_file(path, ec);
        Diagnose([&] {
            return "firmware: looked for " + path.string() +
                   (found ? ": found"
                    : ec  ? ": " + CauseOf(ec)
                          : ": not there");
        });
        if (found) return path;
    }
    Diagnose([&] { return "firmware: found nowhere; taking " + paths.front().string(); });
    return paths.front();
}

bool ReadFirmwareText(const std::filesystem::path& file, std::vector<std::uint8_t>& text,
                      std::string* why) {
    text.clear();
    const auto refuse = [&](std::string reason) {
        Diagnose([&] { return "firmware: cannot read " + file.string() + ": " + reason; });
        if (why != nullptr) *why = std::move(reason);
        return false;
    };
    std::vector<std::uint8_t> bytes;
    if (const FileOutcome read = ReadRegularFile(file, kMaxFirmwareFileLength, bytes); !read)
        return refuse(read.Reason());
    ExchangeNibbles(bytes);
    text = std::move(bytes);
    Diagnose([&] {
        return "firmware: read " + file.string() + ", " + std::to_string(text.size()) + " bytes";
    });
    return true;
}

bool ValidateFirmwareText(std::span<const std::uint8_t> text, std::string* why) {
    constexpr std::uint32_t kAddressSpace = 0x10000;
    std::size_t position = 0;
    std::size_t number = 0;
    std::size_t dataRecords = 0;
    while (position < text.size()) {
        const std::string_view line = NextTextLine(text, position);
        HexRecord record;
        if (!CheckRecord(line, ++number, record, why)) return false;
        const auto at = [number](const char* what) {
            return "line " + std::to_string(number) + ": " + what;
        };
        if (record.type == kEndRecordType)
            return dataRecords > 0 || Reject(why, "no data record before the end record");
        if (record.type == kExtendedSegmentType || record.type == kExtendedLinearType)
            return Reject(why,
                          at("an extended address record, which 16-bit addresses cannot take"));
        if (!record.data || record.count == 0) continue;
        const std::uint32_t end = std::uint32_t{record.address} + record.count;
        if (end > kAddressSpace) return Reject(why, at("runs past address 0xFFFF"));
        if (end > kCpuControlRegister)
            return Reject(why, at("reaches the CPU control register 0xE600"));
        ++dataRecords;
    }
    return Reject(why, "no end record");
}

namespace {
void LogStep(std::string_view step) {
    Diagnose([&] { return "firmware: " + std::string(step); });
}
}  // namespace

bool DownloadFirmware(std::span<const std::uint8_t> text, usb::WindowHandle window,
                      const std::function<void()>& betweenRequests) {
    if (text.empty()) {
        LogStep("no firmware text to load");
        return false;
    }
    if (DiagnosticsOn()) {
        std::string why;
        if (!ValidateFirmwareText(text, &why)) {
            LogStep("the text is refused: " + why);
            return false;
        }
    } else if (!ValidateFirmwareText(text)) {
        return false;
    }
    const auto started = DiagnosticsOn() ? std::chrono::steady_clock::now()
                                         : std::chrono::steady_clock::time_point{};
    std::unique_ptr<usb::UsbDevice> device;
    try {
        device = std::make_unique<usb::UsbDevice>(window, usb::DriverInterfaceGuid, true);
        if (device->DeviceCount() == 0) {
            LogStep("no dongle to load");
            device->Release();
            return false;
        }
        device->Open(0);
        if (!device->ControlEndPoint) {
            LogStep("device 0 did not open");
            device->Release();
            return false;
        }
        usb::UsbControlEndPoint& control = *device->ControlEndPoint;
        const auto request = [&](std::uint16_t address, std::span<std::uint8_t> data) {
            control.Target = 0;
            control.RequestType = 2;
            control.Direction = 0;
            control.RequestCode = kFirmwareLoadRequest;
            control.Value = address;
            control.Index = 0;
            std::uint32_t length = 0;
            const bool done = control.TransferData(data, length) && length == data.size();
            if (!done) {
                Diagnose([&] {
                    char line[96];
                    std::snprintf(line, sizeof line,
                                  "firmware: request 0x%02X to 0x%04X failed, %u of %zu bytes",
                                  static_cast<unsigned>(kFirmwareLoadRequest),
                                  static_cast<unsigned>(address), static_cast<unsigned>(length),
                                  data.size());
                    return std::string(line);
                });
            }
            if (betweenRequests) betweenRequests();
            return done;
        };
        std::array<std::uint8_t, 1> cpu{0x01};
        bool ok = request(kCpuControlRegister, cpu);
        if (ok) LogStep("CPU held in reset");
        std::size_t records = 0;
        std::size_t position = 0;
        std::array<std::uint8_t, kRecordDataCapacity> data{};
        while (ok && position < text.size()) {
            HexRecord record;
            DecodeRecord(NextTextLine(text, position), data, record);
            // Start address records mean nothing to this loader; extended ones were refused.
            if (record.type == kEndRecordType) {
                ok = request(record.address, {});
                break;
            }
            if (record.data) {
                ok = request(record.address, std::span(data).first(record.count));
                ++records;
            }
        }
        if (ok) {
            cpu[0] = 0x00;
            ok = request(kCpuControlRegister, cpu);
        }
        device->Release();
        Diagnose([&] {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - started)
                                .count();
            return std::string(ok ? "firmware: CPU released; " : "firmware: broken off after ") +
                   std::to_string(records) + " data records, " + std::to_string(ms) + " ms";
        });
        return ok;
    } catch (const std::exception& e) {
        Diagnose([&] { return std::string("firmware: broken off: ") + e.what(); });
        if (device) device.reset();
        return false;
    }
}

}  // namespace qdm
