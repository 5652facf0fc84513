#include "protocol/Usbfunctions.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/DongleWait.h"
#include "protocol/HostHooks.h"
#include "protocol/LateReplies.h"
#include "state/DiagnosticLog.h"
#include "state/Mainprocess.h"
#include "usb/UsbDevice.h"

namespace qdm {

namespace {

using usb::UsbDevice;
using usb::UsbEndPoint;

constexpr std::uint8_t kBulk = 2;
constexpr std::size_t kQueryBufferSize = 1000;

std::unique_ptr<UsbDevice> NewDevice() {
    return std::make_unique<UsbDevice>(0, usb::DriverInterfaceGuid, true);
}

std::uint32_t& TransferWait() {
    static std::uint32_t milliseconds = kTransferWaitMs;
    return milliseconds;
}

DongleAccessProblem& LastProblem() {
    static DongleAccessProblem problem = DongleAccessProblem::None;
    return problem;
}

DongleAccessProblem ProblemOf(const UsbDevice& device) {
    if (device.IsOpen()) return DongleAccessProblem::None;
    if (device.Devices == 0) return DongleAccessProblem::NoDongle;
    switch (device.OpenError) {
        case usb::error::AccessDenied:
            return DongleAccessProblem::PermissionDenied;
        case usb::error::Busy:
        case usb::error::SharingViolation:
            return DongleAccessProblem::Busy;
        case usb::error::FileNotFound:
            return DongleAccessProblem::NoDongle;  // gone between counting and opening
        default:
            return DongleAccessProblem::OpenFailed;
    }
}

// Construction already tried device 0; a device that is there but did not open gets one port
// reset and one more try. Opening a device that is open already would only read all its
// descriptors once more.
void RunOpenSequence(UsbDevice& device) {
    if (!device.IsOpen() && device.DeviceCount() != 0) {
        device.ResetPort();
        device.Open(0);
    }
    LastProblem() = ProblemOf(device);
    if (LastProblem() == DongleAccessProblem::NoDongle) ForgetLateReplies();
}

// The last bulk endpoint of each direction wins.
bool ChooseBulkEndpoints(UsbDevice& device) {
    device.BulkInEndPoint = nullptr;
    device.BulkOutEndPoint = nullptr;
    for (std::size_t i = 1; i < device.EndPointCount(); ++i) {
        UsbEndPoint* endpoint = device.EndPoints[i];
        if (endpoint == nullptr || endpoint->Attributes != kBulk) continue;
        if ((endpoint->Address & 0x80) != 0) {
            device.BulkInEndPoint = endpoint;
        } else {
            device.BulkOutEndPoint = endpoint;
        }
    }
    return device.BulkInEndPoint != nullptr && device.BulkOutEndPoint != nullptr;
}

// What the two transfers of a transaction move. The driver reads and writes these, never the
// caller's reply, so that a transfer it never completes can keep them (usb::UsbDriver::Abandon)
// without writing into a reply its caller has freed.
struct TransactionBuffers {
    std::vector<std::uint8_t> send;
    std::vector<std::uint8_t> receive;
};

// The diagnostic log's line of a transaction: the list's first commands (never page data: the
// log goes into field reports), the lengths asked for and moved, the result and the time it took.
std::string TransactionLine(std::span<const std::uint8_t> command, std::size_t padded,
                            std::uint32_t sent, std::size_t replyLength, std::uint32_t received,
                            std::string_view result,
                            std::chrono::steady_clock::time_point started) {
    constexpr std::size_t kShownBytes = 8;
    std::string line = "transaction: list";
    char text[96];
    const std::size_t shown = std::min(CommandBytesBeforeData(command), kShownBytes);
    for (std::size_t i = 0; i < shown; ++i) {
        std::snprintf(text, sizeof text, " %02X", static_cast<unsigned>(command[i]));
        line += text;
    }
    if (command.size() > shown) line += " ..";
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    std::snprintf(text, sizeof text, " (%zu bytes, %u of %zu sent), reply %u of %zu bytes, ",
                  command.size(), static_cast<unsigned>(sent), padded,
                  static_cast<unsigned>(received), replyLength);
    line += text;
    line += result;
    std::snprintf(text, sizeof text, ", %lld.%03lld ms", static_cast<long long>(us / 1000),
                  static_cast<long long>(us % 1000));
    line += text;
    return line;
}

std::string HexId(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(id));
    return text;
}

}  // namespace

std::uint32_t TransferWaitMs() {
    return TransferWait();
}

void SetTransferWaitMs(std::uint32_t milliseconds) {
    TransferWait() = milliseconds;
}

DongleAccessProblem LastAccessProblem() {
    return LastProblem();
}

std::string AccessProblemSummary(DongleAccessProblem problem) {
    switch (problem) {
        case DongleAccessProblem::None:
            break;
        case DongleAccessProblem::NoDongle:
            return "no dongle is attached";
        case DongleAccessProblem::PermissionDenied:
            return "a dongle is attached but this user may not open it (permission denied)";
        case DongleAccessProblem::Busy:
            return "a dongle is attached but another program is using it";
        case DongleAccessProblem::OpenFailed:
            return "a dongle is attached but could not be opened";
    }
    return {};
}

std::string AccessProblemAdvice(DongleAccessProblem problem) {
    switch (problem) {
        case DongleAccessProblem::None:
            break;
        case DongleAccessProblem::NoDongle:
            return "Plug the dongle in and check its USB cable.";
        case DongleAccessProblem::PermissionDenied:
#if defined(_WIN32)
            return "Install the dongle's USB driver, then unplug and replug the dongle.";
#else
            return "Install the udev rule that lets logged-in users use the dongle: copy "
                   "packaging/60-qdm-writer.rules to /etc/udev/rules.d/, run "
                   "'sudo udevadm control --reload-rules', then unplug and replug the dongle.";
#endif
        case DongleAccessProblem::Busy:
            return "Close the other program that uses the dongle (another qdm-writer, a "
                   "firmware tool), then try again; if it stays busy, unplug and replug the "
                   "dongle.";
        case DongleAccessProblem::OpenFailed:
            return "Unplug the dongle, wait a moment and plug it in again.";
    }
    return {};
}

bool WaitForDongleAfterFirmware() {
    // The dongle leaves the bus only once its new firmware runs, so the first look comes after
    // one poll interval.
    for (auto waited = std::chrono::milliseconds{0}; waited < kReenumerationLimit;) {
        SleepFor(kReenumerationPoll);
        waited += kReenumerationPoll;
        if (CheckDonglePresence()) {
            Diagnose([&] {
                return "firmware: the dongle is on the bus again after " +
                       std::to_string(waited.count()) + " ms";
            });
            return true;
        }
    }
    Diagnose([] {
        return "firmware: the dongle did not come back within " +
               std::to_string(kReenumerationLimit.count()) + " ms";
    });
    return false;
}

bool WriterTransaction(std::span<const std::uint8_t> command, std::span<std::uint8_t> reply,
                       std::optional<std::chrono::microseconds> slowestWork) {
    // Reused between transactions (a long run sends thousands of lists) unless a driver that
    // never completed a transfer still holds them.
    static std::shared_ptr<TransactionBuffers> reused;
    if (!reused || reused.use_count() > 1) reused = std::make_shared<TransactionBuffers>();
    const std::shared_ptr<TransactionBuffers> buffers = reused;
    std::vector<std::uint8_t>& sendBuffer = buffers->send;
    const std::size_t padded = PaddedListLength(command.size());
    sendBuffer.assign(padded, 0);
    std::copy(command.begin(), command.end(), sendBuffer.begin());
    buffers->receive.assign(reply.size(), 0);
    std::fill(reply.begin(), reply.end(), std::uint8_t{0});
    // The clock is read only for the diagnostic log.
    const auto started = DiagnosticsOn() ? std::chrono::steady_clock::now()
                                         : std::chrono::steady_clock::time_point{};

    const auto device = NewDevice();
    RunOpenSequence(*device);
    if (!device->IsOpen() || !ChooseBulkEndpoints(*device)) {
        Diagnose([&] {
            const std::string why = device->IsOpen()
                                        ? std::string("the dongle has no bulk endpoint pair")
                                        : AccessProblemSummary(LastProblem());
            return TransactionLine(command, padded, 0, reply.size(), 0, "not sent: " + why,
                                   started);
        });
        device->Release();
        return false;
    }
    UsbEndPoint& in = *device->BulkInEndPoint;
    UsbEndPoint& out = *device->BulkOutEndPoint;
    // A reply still owed to an earlier list would otherwise be read as this list's.
    if (!DrainLateReplies(in)) {
        Diagnose([&] {
            return TransactionLine(command, padded, 0, reply.size(), 0,
                                   "not sent: the dongle did not come back to a known state after "
                                   "a late reply",
                                   started);
        });
        device->Release();
        return false;
    }
    usb::UsbDriver& driver = device->Driver();
    bool ok = false;
    std::uint32_t sent = 0;
    std::uint32_t received = 0;
    {
        usb::Event outEvent(driver);
        usb::Event inEvent(driver);
        usb::Overlapped outOverlapped{outEvent.handle(), 0};
        usb::Overlapped inOverlapped{inEvent.handle(), 0};
        // The read is queued first so that the answer always finds it waiting.
        usb::Request inRequest = in.BeginTransfer(buffers->receive, inOverlapped);
        inRequest.Hold(buffers);
        usb::Request outRequest = out.BeginTransfer(sendBuffer, outOverlapped);
        outRequest.Hold(buffers);
        std::uint32_t waited = 0;
        const bool outDone = WaitPumping(out, outOverlapped, TransferWait(), waited);
        const bool inDone = WaitPumping(in, inOverlapped, TransferWait(), waited);
        const bool outOk = out.FinishTransfer(sendBuffer, sent, outOverlapped, outRequest);
        const bool inOk = in.FinishTransfer(buffers->receive, received, inOverlapped, inRequest);
        std::copy_n(buffers->receive.begin(), std::min<std::size_t>(received, reply.size()),
                    reply.begin());
        ok = outDone && inDone && outOk && inOk && sent == padded && received == reply.size();
        // A list that may have reached the dongle still answers when it is done.
        const bool listMayHaveArrived = !outDone || outOk;
        if (!inDone && listMayHaveArrived && received < reply.size())
            ExpectLateReply(reply.size() - received, LateReplyLimitMs(slowestWork), waited);
    }
    Diagnose([&] {
        return TransactionLine(command, padded, sent, reply.size(), received, ok ? "ok" : "failed",
                               started);
    });
    device->Release();
    // Runs of quick exchanges and port resets would otherwise add up to a frozen window.
    PumpWhileBusy();
    return ok;
}

bool Exchange(CommandList& list, std::span<std::uint8_t> reply) {
    const std::size_t replyLength = list.ReplyLength();
    const bool ok = replyLength <= reply.size() &&
                    WriterTransaction(list.Bytes(), reply.first(replyLength), list.SlowestWork());
    list.Reset();
    return ok;
}

bool CheckDonglePresence() {
    const auto device = NewDevice();
    RunOpenSequence(*device);
    const bool present = !device->EndPoints.empty();
    if (present) {
        State().DetectedVID = HexId(device->VendorId);
        State().DetectedPID = HexId(device->ProductId);
    }
    // The window looks every second: only a change is worth a line.
    static std::optional<DongleAccessProblem> logged;
    if (DiagnosticsOn() && LastProblem() != logged) {
        logged = LastProblem();
        Diagnose([&] {
            return "presence: " + (logged == DongleAccessProblem::None
                                       ? "device 0 opened, " + HexId(device->VendorId) + ":" +
                                             HexId(device->ProductId)
                                       : AccessProblemSummary(*logged));
        });
    }
    device->Release();
    return present;
}

bool ResetDonglePort() {
    const auto device = NewDevice();
    RunOpenSequence(*device);
    const bool reset = device->IsOpen();
    if (reset) device->ResetPort();
    device->Release();
    PumpWhileBusy();
    return reset;
}

bool QueryDongleIdentity() {
    CommandList list(kQueryBufferSize);
    list.OP_INFO(2);
    list.OP_END_GROUP();
    std::array<std::uint8_t, kQueryBufferSize> reply{};
    const bool ok = Exchange(list, reply) && reply[0] == 0x14 && reply[1] >= 2;
    Diagnose([&] {
        char text[64];
        std::snprintf(text, sizeof text, "identity: reply %02X %02X, %s",
                      static_cast<unsigned>(reply[0]), static_cast<unsigned>(reply[1]),
                      ok ? "writer firmware" : "not the writer firmware");
        return std::string(text);
    });
    ResetDonglePort();
    return ok;
}

bool QueryHardwareVersion(std::array<std::uint8_t, 4>& version) {
    CommandList list(kQueryBufferSize);
    list.OP_INFO(3);
    list.OP_END_GROUP();
    std::array<std::uint8_t, kQueryBufferSize> reply{};
    const bool ok = Exchange(list, reply);
    if (ok) std::copy_n(reply.begin(), version.size(), version.begin());
    Diagnose([&] {
        char text[48];
        std::snprintf(text, sizeof text, "hardware version: %02X %02X %02X %02X%s",
                      static_cast<unsigned>(reply[0]), static_cast<unsigned>(reply[1]),
                      static_cast<unsigned>(reply[2]), static_cast<unsigned>(reply[3]),
                      ok ? "" : " (no answer)");
        return std::string(text);
    });
    ResetDonglePort();
    return ok;
}

std::uint8_t DetectClientBoard() {
    CommandList list;
    list.OP_R8_SELECT(0xAA);
    list.OP_IO_SETUP_A(0x00);
    list.OP_IO_READ_ID();
    list.OP_R8_SELECT(0x55);
    list.OP_END_GROUP();
    std::array<std::uint8_t, 1> reply{};
    std::uint8_t kind = kBoardNone;
    if (Exchange(list, reply)) {
        const std::uint8_t id = reply[0];
        if (id < 0x40) {
            kind = kBoardK3r8;
        } else if (id == 0xC1) {
            kind = kBoardK3r1;
        } else if (id == 0x81) {
            kind = kBoardDemo;
        }
    }
    ResetDonglePort();
    return kind;
}

}  // namespace qdm
