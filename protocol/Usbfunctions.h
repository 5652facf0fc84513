#pragma once
// Exchanges with the writer dongle: the one transaction every command list goes through, the
// presence check, the port reset, the two dongle queries and the client board detection.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/CommandList.h"

namespace qdm {

inline constexpr std::uint32_t kTransferWaitMs = 2000;
// How long WriterTransaction waits for each of its two transfers: kTransferWaitMs unless set
// (tests over a real-time USB path shorten it).
std::uint32_t TransferWaitMs();
void SetTransferWaitMs(std::uint32_t milliseconds);
inline constexpr std::size_t kListBlockSize = 512;

// The command length rounded up to a whole number of 512-byte blocks.
constexpr std::size_t PaddedListLength(std::size_t commandLength) {
    return (commandLength + kListBlockSize - 1) / kListBlockSize * kListBlockSize;
}

// Sends `command` zero-padded to whole 512-byte blocks on the bulk OUT endpoint while a read of
// `reply.size()` bytes waits on the bulk IN endpoint. `reply` is cleared first. True only when
// the dongle was opened, both transfers completed within their waits and the whole reply
// arrived; a transfer still pending is cancelled and awaited before this returns, for at most
// usb::kAbortedTransferWaitMs: one the driver never completes is left to the driver, which
// writes into the transaction's own buffers then, never into `reply`. A reply that did not come
// in time is read and dropped before the next list goes out (protocol/LateReplies.h);
// `slowestWork` (the list's SlowestWork, when known) tells how long it may still come.
bool WriterTransaction(std::span<const std::uint8_t> command, std::span<std::uint8_t> reply,
                       std::optional<std::chrono::microseconds> slowestWork = std::nullopt);

// Exchanges `list` with the reply in the first list.ReplyLength() bytes of `reply` (false when
// `reply` cannot hold them) and resets the list for the next exchange.
bool Exchange(CommandList& list, std::span<std::uint8_t> reply);

// True when device 0 could be opened; sets State().DetectedVID / DetectedPID then.
bool CheckDonglePresence();
bool ResetDonglePort();

// Why device 0 could not be opened the last time an operation tried (CheckDonglePresence and
// every other operation that opens the dongle), so that the front ends can say what to do.
enum class DongleAccessProblem {
    None,              // device 0 opened
    NoDongle,          // no device of the driver's class is attached
    PermissionDenied,  // a dongle is attached but this user may not open it
    Busy,              // a dongle is attached but another program holds it
    OpenFailed,        // a dongle is attached but would not open for another reason
};
DongleAccessProblem LastAccessProblem();
// One line on what is wrong ("" for None).
std::string AccessProblemSummary(DongleAccessProblem problem);
// What the user can do about it ("" for None).
std::string AccessProblemAdvice(DongleAccessProblem problem);

// After a firmware download the dongle may leave the bus while its new firmware starts and come
// back as a new device. Waits until device 0 is present again, looking every
// kReenumerationPoll (through SleepFor) for about kReenumerationLimit; false when it does not
// come back, which counts as the firmware download failing.
inline constexpr std::chrono::milliseconds kReenumerationPoll{100};
inline constexpr std::chrono::milliseconds kReenumerationLimit{3000};
bool WaitForDongleAfterFirmware();
// True when the dongle answers the identity query as a writer dongle (14, then 02 or above).
bool QueryDongleIdentity();
// True when the transaction worked; the four reply bytes are then copied to `version`.
bool QueryHardwareVersion(std::array<std::uint8_t, 4>& version);
// 0 none, 1 K3.r8, 2 K3.r1, 3 demoboard.
std::uint8_t DetectClientBoard();

// Board operations. Images are programmed, read and counted in units of 16 KiB from address 0;
// a page index addresses 256 bytes, a block index 512 bytes. Buffers must hold what the call
// reads or writes (units x 16 KiB, or 512 bytes for a block); a call given a smaller one sends
// nothing and returns false. Programming and page writes are false when an exchange failed;
// programming sends nothing after it.
inline constexpr std::uint32_t kImageUnit = 16384;
inline constexpr std::uint32_t kOptionBlockIndex = 4095;

// K3.r8: four serial flash chips programmed together.
bool R8Enable(std::uint8_t on);
bool R8ReadId(std::span<std::uint8_t, 12> id);
bool R8Erase(std::uint8_t x, std::uint8_t y);
bool R8BlankCheck(std::uint32_t first, std::uint32_t last, std::uint8_t& flags);
bool R8ProgramImage(std::span<const std::uint8_t> image, std::uint32_t units);
bool R8ProgramPage(std::span<const std::uint8_t, kPageSize> page, std::uint32_t pageIndex);
// The reads are false when a reply did not arrive whole; the read-back sends nothing more then.
bool R8ReadBack(std::span<std::uint8_t> chip1, std::span<std::uint8_t> chip2,
                std::span<std::uint8_t> chip3, std::uint32_t units, std::span<std::uint8_t> chip4);
bool R8ReadBlock(std::span<std::uint8_t> chip1, std::span<std::uint8_t> chip2,
                 std::span<std::uint8_t> chip3, std::uint32_t blockIndex,
                 std::span<std::uint8_t> chip4);

// K3.r1: one serial flash chip and a busy line.
// True when the board answered and its busy bit is clear: no answer counts as busy.
bool R1BusyCheck();
bool R1Enable(std::uint8_t on);
bool R1Erase(std::uint8_t x, std::uint8_t y);
bool R1ReadId(std::span<std::uint8_t, 3> id);
bool R1BlankCheck(std::uint32_t first, std::uint32_t last);
bool R1ProgramImage(std::span<const std::uint8_t> image, std::uint32_t units);
bool R1ProgramPage(std::span<const std::uint8_t, kPageSize> page, std::uint32_t pageIndex);
// False when the reply did not arrive whole.
bool R1ReadBlock(std::span<std::uint8_t> block, std::uint32_t blockIndex);
// The sum of `count` one-bit counts; false when an exchange failed (nothing more is sent then).
bool R1BitCount(std::uint32_t address, std::uint32_t count, std::uint32_t& sum);
std::uint32_t R1BitCount(std::uint32_t address, std::uint32_t count);

// Demoboard: one flash chip; the board is held while its flash is worked on.
bool DemoEnable(std::uint8_t on);
bool DemoRunControl(std::uint8_t release);
bool DemoReadId(std::span<std::uint8_t, 3> id);
bool DemoChipErase();
bool DemoProgramImage(std::span<const std::uint8_t> image, std::uint32_t units);
bool DemoBitCount(std::uint32_t address, std::uint32_t count, std::uint32_t& sum);
std::uint32_t DemoBitCount(std::uint32_t address, std::uint32_t count);

}  // namespace qdm
