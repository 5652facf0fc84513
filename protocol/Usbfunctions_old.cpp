#include "protocol/Usbfunctions_old.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>

#include "protocol/CommandList.h"
#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "state/DiagnosticLog.h"
#include "state/Mainprocess.h"

namespace qdm {

McuRomList::McuRomList(std::size_t capacity) {
    bytes_.reserve(capacity);
}

std::int32_t McuRomList::Append(std::initializer_list<std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes);
    return Offset();
}

std::int32_t McuRomList::OP_MR_END_GROUP() {
    return Append({0x02, 0x00});
}
std::int32_t McuRomList::OP_MR_ACK() {
    return Append({0x03, 0x01});
}
std::int32_t McuRomList::OP_MR_LINES(std::uint8_t lines) {
    return Append({0x0D, lines});
}
std::int32_t McuRomList::OP_MR_MODE(std::uint8_t on) {
    const std::uint8_t flag = on == 1 ? 0x01 : 0x00;
    return Append({0x0E, flag});
}
std::int32_t McuRomList::OP_MR_SETUP(std::uint8_t value) {
    return Append({0x10, value});
}
std::int32_t McuRomList::OP_MR_DATA_LINES(std::uint8_t value) {
    return Append({0x11, value});
}
std::int32_t McuRomList::OP_MR_PROGRAM(std::span<const std::uint8_t, kMcuRomPageSize> page) {
    slowest_ += kSlowestByteProgram * static_cast<std::int64_t>(kMcuRomPageSize);
    Append({0x15, static_cast<std::uint8_t>(kMcuRomPageSize / 2 - 1)});
    bytes_.insert(bytes_.end(), page.begin(), page.end());
    return Offset();
}
std::int32_t McuRomList::OP_MR_PROGRAM_BEGIN() {
    return Append({0x16, 0xAA});
}
std::int32_t McuRomList::OP_MR_PROGRAM_END() {
    return Append({0x17, 0x55});
}
std::int32_t McuRomList::OP_MR_BLOCK(std::uint8_t block) {
    return Append({0x1D, block});
}
std::int32_t McuRomList::OP_MR_ADDRESS(std::uint32_t address) {
    return Append({0x1E, static_cast<std::uint8_t>(address >> 16 & 0xFF),
                   static_cast<std::uint8_t>(address >> 8 & 0xFF),
                   static_cast<std::uint8_t>(address & 0xFF)});
}
std::int32_t McuRomList::OP_MR_READ_BYTE() {
    return Append({0x21, 0x01});
}
std::int32_t McuRomList::OP_MR_DATA(std::uint8_t value) {
    return Append({0x25, value});
}
std::int32_t McuRomList::OP_MR_READ() {
    return Append({0x26, 0xFF});
}
std::int32_t McuRomList::ZeroFillToGroup() {
    const std::size_t tail = bytes_.size() % kMcuRomGroupSize;
    if (tail != 0) bytes_.insert(bytes_.end(), kMcuRomGroupSize - tail, std::uint8_t{0});
    return Offset();
}

namespace {

constexpr std::size_t kShortListCapacity = 1000;
constexpr std::size_t kProgramListCapacity = 65536;
constexpr std::size_t kReadReply = 512;
constexpr std::size_t kReadsPerList = 8;
constexpr std::uint32_t kListsPerBlock = 4;
constexpr std::uint32_t kProgramListsPerBlock = 2;
constexpr std::size_t kPagesPerList = 32;
constexpr std::size_t kPollReads = 64;
constexpr int kMaxPollRounds = 256;
constexpr auto kPollPause = std::chrono::milliseconds(100);
constexpr std::uint8_t kErased = 0xFF;
constexpr std::uint8_t kFullSetup = 0xFF;
constexpr std::uint8_t kDriveData = 0xFF;
constexpr std::uint8_t kReleaseData = 0x00;

// The standard chip-erase command of parallel NOR flash in byte mode.
struct BusCycle {
    std::uint32_t address;
    std::uint8_t data;
};
constexpr std::array<BusCycle, 6> kChipErase{
    {{0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x80}, {0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x10}}};

// Sends the list and starts it afresh. False when the dongle did not take it or did not answer
// in full.
bool Transact(McuRomList& list, std::span<std::uint8_t> reply, std::size_t replyLength) {
    const bool ok = replyLength <= reply.size() &&
                    WriterTransaction(list.Bytes(), reply.first(replyLength), list.SlowestWork());
    list.Reset();
    return ok;
}

bool LinkModeOn(McuRomList& list, std::span<std::uint8_t> reply) {
    list.OP_MR_MODE(1);
    list.OP_MR_ACK();
    list.OP_MR_END_GROUP();
    return Transact(list, reply, 1);
}

// Reading runs leave the chip lines released; a programming run is closed instead.
enum class LinkEnd { ReleaseLines, EndProgramming };

bool LinkModeOff(McuRomList& list, std::span<std::uint8_t> reply, LinkEnd end) {
    if (end == LinkEnd::ReleaseLines) {
        list.OP_MR_LINES(mcurom_lines::Released);
    } else {
        list.OP_MR_PROGRAM_END();
    }
    list.OP_MR_MODE(0);
    list.OP_MR_ACK();
    list.OP_MR_END_GROUP();
    return Transact(list, reply, 1);
}

enum class EraseWait { Done, TimedOut, LinkLost };

// Writes the six erase cycles and reads the chip's status until it shows erased (data polling
// reads 0xFF once the erase is over).
EraseWait StartEraseAndWait(McuRomList& list, std::span<std::uint8_t> reply) {
    list.OP_MR_DATA_LINES(kDriveData);
    list.OP_MR_SETUP(kFullSetup);
    list.OP_MR_LINES(mcurom_lines::Idle);
    for (const BusCycle& cycle : kChipErase) {
        list.OP_MR_ADDRESS(cycle.address);
        list.OP_MR_DATA(cycle.data);
        list.OP_MR_LINES(mcurom_lines::Strobe);
        list.OP_MR_LINES(mcurom_lines::Idle);
    }
    list.OP_MR_DATA_LINES(kReleaseData);
    list.OP_MR_LINES(mcurom_lines::Read);
    list.OP_MR_READ_BYTE();
    list.OP_MR_END_GROUP();
    if (!Transact(list, reply, 1)) return EraseWait::LinkLost;
    bool done = reply[0] == kErased;

    for (int round = 0; round < kMaxPollRounds && !done; ++round) {
        for (std::size_t r = 0; r < kPollReads; ++r)
            list.OP_MR_READ_BYTE();
        list.OP_MR_END_GROUP();
        if (!Transact(list, reply, kPollReads)) return EraseWait::LinkLost;
        const auto polled = reply.first(kPollReads);
        done = std::find(polled.begin(), polled.end(), kErased) != polled.end();
        PumpMessages();
        SleepFor(kPollPause);
    }
    return done ? EraseWait::Done : EraseWait::TimedOut;
}

}  // namespace

bool McuRomErase() {
    McuRomList list(kShortListCapacity);
    std::array<std::uint8_t, kPollReads> reply{};
    bool erased = false;
    if (LinkModeOn(list, reply)) {
        const EraseWait wait = StartEraseAndWait(list, reply);
        // After a lost link no further list is sent: it would only fail again, or wait out
        // another time-out. The port reset below still clears what the dongle left pending.
        if (wait != EraseWait::LinkLost)
            erased = LinkModeOff(list, reply, LinkEnd::ReleaseLines) && wait == EraseWait::Done;
    }
    ResetDonglePort();
    return erased;
}

namespace {

// Reads `blocks` x 16 KiB from address 0 and hands each list's reply to `take` with its position,
// as it arrives. False when the link fails.
template <class Take>
bool ReadFlash(std::uint32_t blocks, Take take) {
    McuRomList list(kShortListCapacity);
    std::array<std::uint8_t, kReadsPerList * kReadReply> reply{};
    if (!LinkModeOn(list, reply)) return false;

    const std::uint64_t lists = std::uint64_t{blocks} * kListsPerBlock;
    const std::uint64_t step = lists == 0 ? 0 : 128 / lists;
    std::size_t position = 0;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        for (std::uint32_t q = 0; q < kListsPerBlock; ++q) {
            if (b == 0 && q == 0) {
                // The position is set once; the dongle keeps it from list to list.
                list.OP_MR_SETUP(kFullSetup);
                list.OP_MR_ADDRESS(0);
                list.OP_MR_DATA_LINES(kReleaseData);
                list.OP_MR_LINES(mcurom_lines::Read);
            }
            if (q == 0) list.OP_MR_BLOCK(static_cast<std::uint8_t>(b));
            for (std::size_t r = 0; r < kReadsPerList; ++r) {
                list.OP_MR_READ();
                list.OP_MR_END_GROUP();
            }
            if (!Transact(list, reply, reply.size())) return false;
            take(std::span<const std::uint8_t>(reply), position);
            position += reply.size();
            State().ProgressValue =
                static_cast<std::uint8_t>(step * (std::uint64_t{b} * kListsPerBlock + q));
            PumpMessages();
        }
    }
    return LinkModeOff(list, reply, LinkEnd::ReleaseLines);
}

}  // namespace

bool McuRomCompare(std::uint32_t blocks, std::uint8_t mode,
                   std::span<const std::uint8_t> expected) {
    const bool blankCheck = mode == 1;
    const std::uint64_t total = std::uint64_t{blocks} * kMcuRomBlockSize;
    if (!blankCheck && expected.size() < total) return false;
    bool same = true;
    // Compared as it arrives: the same first difference as comparing the whole read-back
    // afterwards, without holding it.
    const bool read = ReadFlash(blocks, [&](std::span<const std::uint8_t> part, std::size_t at) {
        if (!same) return;
        same = blankCheck ? std::all_of(part.begin(), part.end(),
                                        [](std::uint8_t v) { return v == kErased; })
                          : std::equal(part.begin(), part.end(),
                                       expected.begin() + static_cast<std::ptrdiff_t>(at));
    });
    return read && same;
}

bool McuRomRead(std::uint32_t blocks, std::span<std::uint8_t> data) {
    if (data.size() < std::uint64_t{blocks} * kMcuRomBlockSize) return false;
    return ReadFlash(blocks, [&](std::span<const std::uint8_t> part, std::size_t at) {
        std::copy(part.begin(), part.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
    });
}

bool McuRomAcknowledges() {
    McuRomList list(kShortListCapacity);
    std::array<std::uint8_t, 1> reply{};
    list.OP_MR_ACK();
    list.OP_MR_END_GROUP();
    return Transact(list, reply, 1);
}

bool McuRomProgram(std::uint32_t blocks, std::span<const std::uint8_t> image) {
    try {
        if (image.size() < std::uint64_t{blocks} * kMcuRomBlockSize) return false;
        McuRomList list(kProgramListCapacity);
        std::array<std::uint8_t, 1> reply{};
        if (!LinkModeOn(list, reply)) return false;
        list.OP_MR_SETUP(kFullSetup);
        list.OP_MR_PROGRAM_BEGIN();
        list.OP_MR_ADDRESS(0);
        list.OP_MR_ACK();
        list.OP_MR_END_GROUP();
        if (!Transact(list, reply, 1)) return false;

        const std::uint64_t lists = std::uint64_t{blocks} * kProgramListsPerBlock;
        const std::uint64_t step = lists == 0 ? 0 : 128 / lists;
        std::size_t position = 0;
        for (std::uint32_t b = 0; b < blocks; ++b) {
            for (std::uint32_t h = 0; h < kProgramListsPerBlock; ++h) {
                // Every command here starts a 512-byte group of its own.
                if (h == 0) {
                    list.OP_MR_BLOCK(static_cast<std::uint8_t>(b));
                    list.ZeroFillToGroup();
                }
                for (std::size_t p = 0; p < kPagesPerList; ++p, position += kMcuRomPageSize) {
                    list.OP_MR_PROGRAM(PageAt(image, position));
                    list.ZeroFillToGroup();
                }
                list.OP_MR_ACK();
                list.OP_MR_END_GROUP();
                if (!Transact(list, reply, 1)) return false;
                // Both halves of a block show the same value.
                State().ProgressValue = static_cast<std::uint8_t>(
                    step * (std::uint64_t{b} * kProgramListsPerBlock + 1));
                PumpMessages();
            }
        }
        return LinkModeOff(list, reply, LinkEnd::EndProgramming);
    } catch (const std::exception& e) {
        Diagnose([&] { return std::string("mcurom: programming broken off: ") + e.what(); });
        return false;
    }
}

}  // namespace qdm
