#include "protocol/LateReplies.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/DongleWait.h"
#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "state/DiagnosticLog.h"

namespace qdm {

namespace {

struct Owed {
    std::size_t bytes = 0;
    std::uint32_t budgetMs = 0;  // of waiting left before the reply counts as never sent
};

Owed& Late() {
    static Owed owed;
    return owed;
}

enum class Read {
    Got,     // bytes came
    Quiet,   // nothing came in the time
    Failed,  // the endpoint failed: the dongle is in no known state
};

// One read of up to `length` bytes, waiting at most `milliseconds`.
Read ReadFor(usb::UsbEndPoint& in, std::size_t length, std::uint32_t milliseconds,
             std::uint32_t& waited, std::size_t& received) {
    received = 0;
    // Held by the request, so a read the driver never finishes cannot write into freed memory.
    auto buffer = std::make_shared<std::vector<std::uint8_t>>(length);
    usb::Event event(in.Driver());
    usb::Overlapped overlapped{event.handle(), 0};
    usb::Request request = in.BeginTransfer(*buffer, overlapped);
    if (!request) return Read::Failed;
    request.Hold(buffer);
    const bool done = WaitPumping(in, overlapped, milliseconds, waited);
    std::uint32_t got = 0;
    const bool ok = in.FinishTransfer(*buffer, got, overlapped, request);
    received = got;
    if (!done) return got > 0 ? Read::Got : Read::Quiet;  // aborted: what came before counts
    return ok && got > 0 ? Read::Got : Read::Failed;
}

void Log(const std::string& what) {
    Diagnose([&] { return "late reply: " + what; });
}

}  // namespace

std::uint32_t LateReplyLimitMs(std::optional<std::chrono::microseconds> slowestWork) {
    if (!slowestWork) return 5 * TransferWaitMs();
    const auto limit =
        std::chrono::ceil<std::chrono::milliseconds>(*slowestWork) + kLateReplyMargin;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(limit.count(), UINT32_MAX));
}

void ExpectLateReply(std::size_t bytes, std::uint32_t limitMs, std::uint32_t waitedMs) {
    // A list whose time is up will not answer any more.
    Late() = bytes == 0 || waitedMs >= limitMs ? Owed{} : Owed{bytes, limitMs - waitedMs};
}

bool DrainLateReplies(usb::UsbEndPoint& in) {
    Owed& owed = Late();
    if (owed.bytes == 0) return true;
    bool failed = false;
    std::size_t came = 0;
    while (owed.bytes > 0 && owed.budgetMs > 0) {
        std::uint32_t waited = 0;
        std::size_t received = 0;
        const Read read = ReadFor(in, owed.bytes, owed.budgetMs, waited, received);
        owed.budgetMs -= std::min(waited, owed.budgetMs);
        if (read == Read::Failed) {
            failed = true;
            break;
        }
        came += received;
        owed.bytes -= std::min(received, owed.bytes);
        if (read == Read::Quiet) break;
    }
    const std::size_t left = owed.bytes;
    const bool whole = left == 0;
    owed = {};
    if (failed) {
        Log("the IN endpoint failed while " + std::to_string(left) + " reply bytes were owed");
        return false;
    }
    // Nothing came in all that time: the reply was never sent. Part of one: no telling what
    // the dongle does next.
    if (!whole) {
        Log(came == 0 ? "gave up on " + std::to_string(left) + " reply bytes that never came"
                      : std::to_string(came) + " of " + std::to_string(came + left) +
                            " owed reply bytes came: the dongle is in no known state");
        return came == 0;
    }
    // All that was owed came; nothing more may follow.
    std::uint32_t waited = 0;
    std::size_t received = 0;
    const bool quiet = ReadFor(in, kListBlockSize, static_cast<std::uint32_t>(kPumpSlice.count()),
                               waited, received) == Read::Quiet;
    Log(quiet ? "dropped the " + std::to_string(came) + " reply bytes owed to an earlier list"
              : "more came than the " + std::to_string(came) +
                    " reply bytes owed: the dongle is in no known state");
    return quiet;
}

void ForgetLateReplies() {
    Late() = {};
}

std::size_t LateReplyBytes() {
    return Late().bytes;
}

}  // namespace qdm
