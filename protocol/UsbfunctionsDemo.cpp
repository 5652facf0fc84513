// Demoboard operations: one flash chip reached only while flash access is on, a board the host
// holds while it works, a chip erase polled until done, and one-bit counts for verification.

#include <algorithm>
#include <chrono>

#include "protocol/BoardSupport.h"
#include "protocol/Usbfunctions.h"

namespace qdm {

namespace {

constexpr std::uint8_t kBusyBit = 0x01;
constexpr std::uint8_t kProgressComplete = 128;
// This bounds the wait for a stuck flash. An exchange that opens the dongle and reads all its
// descriptors took milliseconds, which made the polls cover minutes; one that opens it from what
// the system already holds takes a fraction of one, and 12,000 of them end before a healthy chip
// erase does (5 s typical, 25 s at most). So a poll that finds the flash busy waits a little
// before the next: 12,000 of them cover 36 s at least.
constexpr std::uint32_t kMaxErasePolls = 12000;
constexpr std::chrono::milliseconds kBusyPollPause{3};

// The first erasing text has a capital D, the two alternating ones a small d.
constexpr std::string_view kEraseStarted = "Speech Demoboard Serial Flash Erasing...";
constexpr std::string_view kErasing3 = "Speech demoboard Serial Flash Erasing...";
constexpr std::string_view kErasing2 = "Speech demoboard Serial Flash Erasing..";
constexpr std::string_view kProgramming3 = "Speech OTP Demoboard Serial Flash Programming...";
constexpr std::string_view kProgramming2 = "Speech OTP Demoboard Serial Flash Programming..";
constexpr std::string_view kChecking2 = "Speech OTP Demoboard Serial Flash Checking..";

// 46 AA / 46 55 with an acknowledge, as one list.
bool FlashAccess(CommandList& list, std::uint8_t on) {
    list.OP_DEMO_MODE_FLASH_ACCESS(on);
    return board::ExchangeAcknowledged(list);
}

}  // namespace

bool DemoEnable(std::uint8_t on) {
    CommandList list;
    if (on == 1) {
        list.OP_IO_SETUP_A(0x00);
        list.OP_IO_SETUP_B(0xFE);
        list.OP_IO_WRITE(0x38);
        list.OP_IO_WRITE(0x18);
        list.OP_IO_WRITE(0x58);
    } else {
        list.OP_IO_SETUP_A(0x00);
        list.OP_IO_SETUP_B(0x00);
        list.OP_IO_WRITE(0x20);
    }
    const bool ok = board::ExchangeAcknowledged(list);
    ResetDonglePort();
    return ok;
}

bool DemoRunControl(std::uint8_t release) {
    CommandList list;
    list.OP_DEMO_MODE_RUN_CONTROL(release);
    const bool ok = board::ExchangeAcknowledged(list);
    ResetDonglePort();
    return ok;
}

bool DemoReadId(std::span<std::uint8_t, 3> id) {
    CommandList list;
    FlashAccess(list, 1);
    // Access goes off in the same list that reads the ID.
    list.OP_DEMO_READ_ID();
    list.OP_DEMO_MODE_FLASH_ACCESS(0);
    list.OP_END_GROUP();
    std::array<std::uint8_t, 3> reply{};
    Exchange(list, reply);
    std::copy(reply.begin(), reply.end(), id.begin());
    ResetDonglePort();
    return true;
}

bool DemoChipErase() {
    CommandList list;
    FlashAccess(list, 1);
    State().ProgressText = kEraseStarted;
    PumpMessages();
    list.OP_DEMO_WRITE_ENABLE();
    list.OP_DEMO_CHIP_ERASE();
    list.OP_ACK();
    list.OP_END_GROUP();
    std::array<std::uint8_t, 1> reply{};
    Exchange(list, reply);

    std::uint8_t status = 0xFF;
    for (std::uint32_t polls = 0; (status & kBusyBit) != 0 && polls < kMaxErasePolls; ++polls) {
        list.OP_DEMO_READ_STATUS();
        list.OP_END_GROUP();
        // The board is gone or mute: nothing more can be sent to it.
        if (!Exchange(list, reply)) return false;
        status = reply[0];
        board::AlternateProgressText(kErasing3, kErasing2);
        // The status stands in for the progress, which ends at 128 (complete).
        State().ProgressValue = std::min(status, kProgressComplete);
        PumpMessages();
        if ((status & kBusyBit) != 0) SleepFor(kBusyPollPause);
    }
    FlashAccess(list, 0);
    ResetDonglePort();
    return (status & kBusyBit) == 0;
}

bool DemoProgramImage(std::span<const std::uint8_t> image, std::uint32_t units) {
    if (!board::HoldsUnits(image.size(), units)) return false;
    CommandList list;
    FlashAccess(list, 1);
    const bool programmed =
        board::ProgramImageBatches(PageBoard::Demo, image, units, kProgramming3, kProgramming2);
    FlashAccess(list, 0);
    ResetDonglePort();
    return programmed;
}

bool DemoBitCount(std::uint32_t address, std::uint32_t count, std::uint32_t& sum) {
    CommandList list;
    FlashAccess(list, 1);
    State().ProgressText = kChecking2;
    const bool counted = board::SumBitCounts(
        address, count,
        [](CommandList& l, std::uint32_t at) {
            l.OP_DEMO_BIT_COUNT(at);
            l.OP_ACK();
            l.OP_END_GROUP();
        },
        sum);
    FlashAccess(list, 0);
    ResetDonglePort();
    return counted;
}

std::uint32_t DemoBitCount(std::uint32_t address, std::uint32_t count) {
    std::uint32_t sum = 0;
    DemoBitCount(address, count, sum);
    return sum;
}

}  // namespace qdm
