#pragma once
// Exchanges with the writer dongle: the one transaction every command list goes through, the
// presence check, the port reset, the two dongle queries and the client board detection.

#include <array>
#include <cstdint>
#include <span>

#include "protocol/CommandList.h"

namespace qdm {

inline constexpr std::uint32_t kTransferWaitMs = 2000;
inline constexpr std::size_t kListBlockSize = 512;

// The command length rounded up to a whole number of 512-byte blocks.
constexpr std::size_t PaddedListLength(std::size_t commandLength) {
    return (commandLength + kListBlockSize - 1) / kListBlockSize * kListBlockSize;
}

// Sends `command` zero-padded to whole 512-byte blocks on the bulk OUT endpoint while a read of
// `reply.size()` bytes waits on the bulk IN endpoint. `reply` is cleared first. True only when
// the dongle was opened, both transfers completed within their waits and the whole reply
// arrived; a transfer still pending is cancelled and awaited before this returns.
bool WriterTransaction(std::span<const std::uint8_t> command, std::span<std::uint8_t> reply);

// Exchanges `list` with the reply in the first list.ReplyLength() bytes of `reply` (false when
// `reply` cannot hold them) and resets the list for the next exchange.
bool Exchange(CommandList& list, std::span<std::uint8_t> reply);

// True when device 0 could be opened; sets State().DetectedVID / DetectedPID then.
bool CheckDonglePresence();
bool ResetDonglePort();
// True when the dongle answers the identity query as a writer dongle (14, then 02 or above).
bool QueryDongleIdentity();
// True when the transaction worked; the four reply bytes are then copied to `version`.
bool QueryHardwareVersion(std::array<std::uint8_t, 4>& version);
// 0 none, 1 K3.r8, 2 K3.r1, 3 demoboard.
std::uint8_t DetectClientBoard();

}  // namespace qdm
