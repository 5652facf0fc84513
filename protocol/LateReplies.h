#pragma once
// Replies that come after their transaction gave up waiting. A list that outlasts the
// transaction's waits (a long erase at a slow flash's maximum times) still answers when it is
// done; that answer must never be read as the reply of the next list. So after a transaction
// whose list may have reached the dongle but whose reply did not arrive whole, the next
// transaction first reads and drops the bytes still owed, and sends its own list only once the
// dongle is back in a known state.
//
// What this assumes of the dongle (docs/run-times.md says why): it answers lists in the order it
// got them, each with its whole reply or none at all; it sends nothing it was not asked for by a
// list; and it is done with a list within LateReplyLimitMs of getting it. Whether its firmware
// drops a waiting reply at a port reset does not matter: a reply that never comes is given up
// on at that limit.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "usb/UsbEndPoint.h"

namespace qdm {

// How long after its sending a list's reply may still come: the slowest its flash work may be
// (CommandList::SlowestWork) and a second for the firmware and the bus; for a list whose work
// nobody knows, five of the transaction's waits (the longest list the programs send, four 64 KiB
// block erases at a serial flash's maximum of 2 s each, is done within four).
inline constexpr std::chrono::milliseconds kLateReplyMargin{1000};
std::uint32_t LateReplyLimitMs(std::optional<std::chrono::microseconds> slowestWork);

// The transaction that just ended sent a list that may have reached the dongle, and `bytes` of
// its reply did not come within the `waitedMs` it waited; they may come until `limitMs` after
// the list went out.
void ExpectLateReply(std::size_t bytes, std::uint32_t limitMs, std::uint32_t waitedMs);

// Before the next list goes out on the device of `in`: reads and drops the bytes still owed,
// waiting (pumped) until they have come or the limit has passed, then checks that nothing more
// follows. False when the dongle did not come back to a known state (part of a reply, more than
// was owed, or the endpoint failing): the list must not be sent. Either way nothing is owed
// afterwards.
bool DrainLateReplies(usb::UsbEndPoint& in);

// The dongle left the bus: whatever it owed has gone with its power.
void ForgetLateReplies();

// Bytes still owed (for tests and the diagnostic log).
std::size_t LateReplyBytes();

}  // namespace qdm
