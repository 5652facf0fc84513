// A whole open of a device whose every answer the fuzzer chooses: the device descriptor, the
// language list, the strings, the configuration sets and the driver's information requests, each
// as the bytes returned and, when it likes, a byte count the driver claims instead of the true
// one. The device object may hold only what the answers really contain.
//
// Input: one answer per request, in the order the open makes them. A control byte says how:
// bits 0-1: 0 returns the bytes that follow an 8-bit length, 1 those that follow a 16-bit one,
// 2 fails the request, 3 answers as a writer dongle would; bit 2: a 32-bit claimed count
// follows. Once the input is used up the dongle answers.

#include <cstdint>
#include <span>

#include "fuzz/FuzzSupport.h"
#include "tests/support/FakeDriver.h"
#include "usb/UsbDevice.h"

namespace {

using qdm::fuzz::FuzzInput;
using qdm::fuzz::Require;
using qdm::test::ScriptedAnswer;

ScriptedAnswer NextAnswer(FuzzInput& in) {
    ScriptedAnswer answer;
    if (in.Empty()) return answer;
    const std::uint8_t control = in.Byte();
    switch (control & 3) {
        case 0:
        case 1: {
            answer.kind = ScriptedAnswer::Kind::Returns;
            const std::size_t length = (control & 3) == 0 ? in.Byte() : in.Word();
            answer.bytes = in.Take(length);
            break;
        }
        case 2:
            answer.kind = ScriptedAnswer::Kind::Fails;
            break;
        default:
            break;
    }
    if ((control & 4) != 0) answer.claimed = in.Long();
    return answer;
}

void RequireTreeFromTheBytes(const qdm::usb::UsbDevice& device) {
    using namespace qdm::usb;
    for (const auto& config : device.Configurations) {
        if (!config) continue;
        Require(config->AltInterfaceCount <= kMaxInterfaces, "at most eight interfaces");
        for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
            const auto& interface = config->Interfaces[i];
            Require((interface != nullptr) == (i < config->AltInterfaceCount),
                    "the interfaces made");
            if (!interface) continue;
            Require(interface->AltSettingCount >= 1, "an interface counts itself");
            for (std::size_t e = 1; e < kMaxEndpointEntries; ++e) {
                const UsbEndPoint* endpoint = interface->EndPoints[e];
                if (endpoint != nullptr)
                    Require(endpoint->Attributes <= 3, "a known transfer type");
            }
        }
    }
    Require(device.EndPoints.size() <= kMaxEndpointEntries, "at most sixteen endpoint entries");
    if (!device.EndPoints.empty())
        Require(device.EndPoints[0] == device.ControlEndPoint.get(),
                "entry 0 is the control endpoint");
    for (const std::u16string* text : {&device.Manufacturer, &device.Product, &device.SerialNumber})
        Require(text->size() < kTextSize, "a string fits its 256 units");
    Require(device.DeviceName.size() < kTextSize && device.FriendlyName.size() < kTextSize,
            "a driver name fits its 256 bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qdm;
    FuzzInput input(std::span(data, size));
    test::FakeDriver driver;
    driver.devices.emplace_back().script = [&input](std::uint32_t, const usb::TransferRequest&) {
        return NextAnswer(input);
    };
    usb::UsbDevice device(0, usb::DriverInterfaceGuid, false, driver);
    device.Open(0);
    RequireTreeFromTheBytes(device);
    device.Close();
    return 0;
}
