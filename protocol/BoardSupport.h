#pragma once
// What the board operations of the three client boards share: progress reporting, dump files,
// the image programming batches, the blank-check walk and the one-bit count walk. Internal to
// the protocol layer.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "protocol/CommandList.h"
#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "state/Mainprocess.h"

namespace qdm::board {

// Programming, blank-check and read lists; the longest (32 page groups) is 16,388 bytes.
inline constexpr std::size_t kLongListCapacity = 32 * 1024;
inline constexpr std::size_t kPagesPerBatch = 32;
inline constexpr std::uint32_t kBatchesPerUnit = 2;
inline constexpr std::uint32_t kCountRegion = 0x8000;  // one bit count covers 32 KiB

// ProgressValue after step `done` of `total` (0..128); no steps give 0.
std::uint8_t ProgressOf(std::uint64_t done, std::uint64_t total);

// Shows the three-dot text unless it is showing already, then the two-dot one: the operator
// sees the line change with every exchange.
void AlternateProgressText(std::string_view threeDots, std::string_view twoDots);

// True when a buffer of `size` bytes holds `units` image units.
bool HoldsUnits(std::size_t size, std::uint32_t units);

// Writes `bytes` to `name` in the dump folder while dump files are on. A dump that cannot be
// written must not spoil the operation, so the result is ignored.
void WriteDumpFile(std::span<const std::uint8_t> bytes, std::string_view name);

// Programs units x 16 KiB of `image` from flash address 0: 32 page groups and an acknowledge
// per exchange, two exchanges per unit, progress after each. False, with nothing sent, when the
// image is shorter than that; false at the first exchange that fails, with nothing more sent: a
// dongle that is gone or mute would only make every further batch wait out its time-out.
bool ProgramImageBatches(PageBoard board, std::span<const std::uint8_t> image, std::uint32_t units,
                         std::string_view threeDots, std::string_view twoDots);

// One page group, an acknowledge and the end mark in one list; then the port reset. False when
// the exchange failed.
bool ProgramOnePage(PageBoard board, std::span<const std::uint8_t, kPageSize> page,
                    std::uint32_t pageIndex, std::string_view text);

// Ends `list` with an acknowledge and the end mark and exchanges it; the acknowledge byte is not
// looked at. True when the exchange worked.
bool ExchangeAcknowledged(CommandList& list);

// Sends an erase list (built by the caller) after showing `text`, resets the port and judges the
// second reply byte.
bool SendErase(CommandList& list, std::string_view text);

// Exchanges one blank-check list per block from `first` up to `last`, stopping at the first
// block `blank` rejects; progress and a pump after each block, the port reset at the end.
template <class Append, class Blank>
bool WalkBlankCheck(std::uint32_t first, std::uint32_t last, Append append, Blank blank) {
    CommandList list(kLongListCapacity);
    std::array<std::uint8_t, 1> reply{};
    bool allBlank = true;
    for (std::uint32_t b = first; b < last; ++b) {
        append(list, static_cast<std::uint8_t>(b));
        list.OP_END_GROUP();
        Exchange(list, reply);
        const bool stop = !blank(reply[0]);
        if (stop) allBlank = false;
        State().ProgressValue = ProgressOf(stop ? last : b, last);
        PumpMessages();
        if (stop) break;
    }
    ResetDonglePort();
    return allBlank;
}

// Sums `count` one-bit counts of consecutive 32 KiB regions from `address` on into `sum`;
// `append` builds one count list whose reply starts with the 24-bit count. False at the first
// exchange that fails, with nothing more sent: its cleared reply would count as zero one bits,
// which an image may well hold there.
template <class Append>
bool SumBitCounts(std::uint32_t address, std::uint32_t count, Append append, std::uint32_t& sum) {
    CommandList list;
    std::array<std::uint8_t, 4> reply{};
    sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        append(list, address);
        const bool counted = Exchange(list, reply);
        sum += static_cast<std::uint32_t>(reply[0]) << 16 |
               static_cast<std::uint32_t>(reply[1]) << 8 | reply[2];
        address += kCountRegion;
        State().ProgressValue = ProgressOf(i, count);
        PumpMessages();
        if (!counted) return false;
    }
    return true;
}

}  // namespace qdm::board
