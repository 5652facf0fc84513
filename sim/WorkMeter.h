#pragma once
// The dongle's time at work. While the firmware runs a list, the boards and flash models add what
// each command takes (WorkMeter); over a run the dongle sums where its time went (TimeLedger).

#include <cstddef>
#include <cstdint>

#include "sim/Clock.h"
#include "sim/TimingProfile.h"

namespace qdm::sim {

// Where the dongle's time went, for the run-time reports.
struct TimeLedger {
    SimDuration flashWork{};       // programming, erasing and reading the flash: the physical limit
    SimDuration flashBeside{};     // of which ran beside the lists (a chip erase the host polls)
    SimDuration bulkWire{};        // command lists and their replies on the bus
    SimDuration controlWire{};     // control transfers: descriptor reads, firmware load, others
    SimDuration descriptorWire{};  // of which descriptor reads
    SimDuration firmwareLoadWire{};  // of which the firmware load
    SimDuration portResets{};        // reset signalling, recovery and the host's re-addressing
    std::uint64_t lists = 0;
    std::uint64_t controlTransfers = 0;
    std::uint64_t descriptorReads = 0;
    std::uint64_t firmwareLoads = 0;  // 0xA0 requests
    std::uint64_t resets = 0;
};

class WorkMeter {
  public:
    [[nodiscard]] const TimingProfile& Timing() const { return *timing_; }
    // The profile must outlive the meter.
    void SetTiming(const TimingProfile& timing) { timing_ = &timing; }

    // A list starts at `start`.
    void Begin(SimTime start) {
        start_ = start;
        spent_ = {};
    }
    // The firmware's time: the list's start and all its work so far.
    [[nodiscard]] SimTime Now() const { return start_ + spent_; }
    [[nodiscard]] SimDuration Spent() const { return spent_; }
    void Spend(SimDuration duration) { spent_ += duration; }
    // `bytes` shifted through the serial flash interface.
    void SpendSerial(std::size_t bytes) {
        spent_ += timing_->serialByte * static_cast<std::int64_t>(bytes);
    }
    // Flash work that runs on by itself after its command (a chip erase the host then polls).
    void Background(SimDuration duration) { background_ += duration; }
    [[nodiscard]] SimDuration TakeBackground() {
        const SimDuration b = background_;
        background_ = {};
        return b;
    }

  private:
    const TimingProfile* timing_ = &ZeroTiming();
    SimTime start_{};
    SimDuration spent_{};
    SimDuration background_{};
};

}  // namespace qdm::sim
