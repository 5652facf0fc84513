#include "sim/TimingProfile.h"

#include <algorithm>

namespace qdm::sim {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr std::size_t kBulkPacket = 512;    // high-speed bulk packets (USB 2.0, 5.8.3)
constexpr std::size_t kControlPacket = 64;  // high-speed endpoint 0 packets (USB 2.0, 5.5.3)

// The USB figures both timed profiles share.
constexpr TimingProfile UsbHighSpeed(std::string_view name) {
    TimingProfile t;
    t.name = name;
    // USB 2.0, 8.4.3.1: a high-speed frame is eight microframes of 125 us.
    t.microframe = microseconds(125);
    // USB 2.0, table 5-10: at most 13 bulk transactions of 512 bytes fit in one microframe.
    t.bulkPacketsPerMicroframe = 13;
    // USB 2.0, 5.5.4: control transfers may use up to 20 % of a microframe (1,500 of its 7,500
    // bytes): about 20 packets of 64 bytes with their overhead. The setup, data and status
    // stages (8.5.3) each start in a microframe of their own.
    t.controlPacketsPerMicroframe = 20;
    // USB 2.0, 7.1.7.5: a reset from a root port lasts at least 50 ms (TDRSTR; 10 ms behind a
    // hub), and the device gets 10 ms to recover (TRSTRCY) before it is addressed.
    t.resetSignalling = milliseconds(50);
    t.resetRecovery = milliseconds(10);
    // USB 2.0, 9.2.6.3: 2 ms of recovery after SET_ADDRESS before the next request.
    t.setAddressRecovery = milliseconds(2);
    return t;
}

// Figures of a typical 2 MiB (16 Mbit) serial NOR flash datasheet and a 256 KiB (2 Mbit)
// parallel NOR flash datasheet, typical or maximum.
constexpr TimingProfile Typical() {
    TimingProfile t = UsbHighSpeed("typical");
    t.pageProgram = microseconds(700);  // page program tPP, typical
    t.blockErase = milliseconds(150);   // 64 KiB block erase tBE, typical
    t.chipErase = milliseconds(5000);   // chip erase tCE, typical
    t.serialByte = nanoseconds(160);    // 8 clocks at fR = 50 MHz, the read instruction's clock
    t.parallelByteProgram = microseconds(7);   // byte program time, typical
    t.parallelChipErase = milliseconds(3000);  // chip erase time, typical
    t.parallelReadCycle = nanoseconds(70);     // read cycle tRC of the 70 ns speed grade
    return t;
}

constexpr TimingProfile Worst() {
    TimingProfile t = UsbHighSpeed("worst");
    t.pageProgram = milliseconds(3);            // page program tPP, maximum
    t.blockErase = milliseconds(2000);          // 64 KiB block erase tBE, maximum
    t.chipErase = milliseconds(25000);          // chip erase tCE, maximum
    t.serialByte = nanoseconds(160);            // fR = 50 MHz: the datasheet gives no slower clock
    t.parallelByteProgram = microseconds(300);  // byte program time, maximum
    t.parallelChipErase = milliseconds(30000);  // chip erase time, maximum
    t.parallelReadCycle = nanoseconds(120);     // read cycle tRC of the slowest speed grade
    return t;
}

constexpr TimingProfile Zero() {
    TimingProfile t;
    t.name = "zero";
    return t;
}

constexpr TimingProfile kZero = Zero();
constexpr TimingProfile kTypical = Typical();
constexpr TimingProfile kWorst = Worst();

std::size_t CeilDiv(std::size_t a, std::size_t b) {
    return b == 0 ? 0 : (a + b - 1) / b;
}

}  // namespace

const TimingProfile& ZeroTiming() {
    return kZero;
}
const TimingProfile& TypicalTiming() {
    return kTypical;
}
const TimingProfile& WorstTiming() {
    return kWorst;
}

const TimingProfile* TimingByName(std::string_view name) {
    for (const TimingProfile* profile : {&kZero, &kTypical, &kWorst})
        if (profile->name == name) return profile;
    return nullptr;
}

std::string TimingNames() {
    return "zero, typical or worst";
}

SimDuration BulkWireTime(const TimingProfile& timing, std::size_t bytes) {
    // A transfer of no bytes is one zero-length packet.
    const std::size_t packets = std::max<std::size_t>(CeilDiv(bytes, kBulkPacket), 1);
    const std::size_t microframes = CeilDiv(packets, timing.bulkPacketsPerMicroframe);
    return timing.microframe * static_cast<std::int64_t>(microframes);
}

SimDuration ControlTransferTime(const TimingProfile& timing, std::size_t dataBytes) {
    const std::size_t dataMicroframes =
        CeilDiv(CeilDiv(dataBytes, kControlPacket), timing.controlPacketsPerMicroframe);
    // Setup and status stage, and the data stage when there is one.
    return timing.microframe * static_cast<std::int64_t>(2 + dataMicroframes);
}

SimDuration PortResetTime(const TimingProfile& timing) {
    // USB 2.0, 9.1.2: after a reset the host addresses the device, reads its device descriptor
    // and its configuration (head, then the whole set of 32 bytes) and selects the
    // configuration again.
    const SimDuration requests = ControlTransferTime(timing, 0) * 2 +
                                 ControlTransferTime(timing, 18) + ControlTransferTime(timing, 9) +
                                 ControlTransferTime(timing, 32);
    return timing.resetSignalling + timing.resetRecovery + timing.setAddressRecovery + requests;
}

}  // namespace qdm::sim
