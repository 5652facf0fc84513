#pragma once
// How long the virtual dongle takes for what it does: one table of named durations per profile.
// "zero" does everything at once (the default, and what most tests run); "typical" takes the
// typical figures of the flash datasheets, "worst" their maxima. The USB figures are the bus's own
// and the same in both. The sources of every figure are in TimingProfile.cpp.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sim/Clock.h"

namespace qdm::sim {

struct TimingProfile {
    std::string_view name;

    // USB 2.0 high speed.
    SimDuration microframe{};
    std::uint32_t bulkPacketsPerMicroframe = 1;
    std::uint32_t controlPacketsPerMicroframe = 1;
    SimDuration resetSignalling{};
    SimDuration resetRecovery{};
    SimDuration setAddressRecovery{};

    // The 2 MiB serial NOR flash of the writer boards and the demoboard.
    SimDuration pageProgram{};
    SimDuration blockErase{};  // one 64 KiB block
    SimDuration chipErase{};
    SimDuration serialByte{};  // one byte shifted at the read clock

    // The parallel NOR flash behind the MCU-ROM firmware.
    SimDuration parallelByteProgram{};
    SimDuration parallelChipErase{};
    SimDuration parallelReadCycle{};
};

const TimingProfile& ZeroTiming();
const TimingProfile& TypicalTiming();
const TimingProfile& WorstTiming();
// The profile of that name ("zero", "typical", "worst"), or null.
const TimingProfile* TimingByName(std::string_view name);
// "zero, typical or worst", for messages.
std::string TimingNames();

// Derived figures: what one transfer of that size takes on the bus.
SimDuration BulkWireTime(const TimingProfile& timing, std::size_t bytes);
SimDuration ControlTransferTime(const TimingProfile& timing, std::size_t dataBytes);
// Reset signalling, recovery and the host's addressing and configuring the device again.
SimDuration PortResetTime(const TimingProfile& timing);

}  // namespace qdm::sim
