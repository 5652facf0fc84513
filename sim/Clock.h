#pragma once
// The time the virtual dongle keeps. Its work is scheduled on one clock: tests run it on a
// virtual clock that jumps to whatever the next event is, so nothing ever sleeps; the programs
// run a timing profile on the real clock, so a run takes as long as the hardware would take.

#include <atomic>
#include <chrono>
#include <cstdint>

namespace qdm::sim {

// Time since the clock started; durations of the dongle's work.
using SimTime = std::chrono::nanoseconds;
using SimDuration = std::chrono::nanoseconds;

class Clock {
  public:
    Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;
    virtual ~Clock() = default;

    [[nodiscard]] virtual SimTime Now() const = 0;
    // Returns once Now() has reached `time`: a virtual clock moves there, a real one sleeps.
    virtual void WaitUntil(SimTime time) = 0;
    [[nodiscard]] virtual bool IsVirtual() const = 0;
};

// Starts at 0 and moves only when someone waits; usable from several threads.
class VirtualClock final : public Clock {
  public:
    [[nodiscard]] SimTime Now() const override { return SimTime(now_.load()); }
    void WaitUntil(SimTime time) override;
    [[nodiscard]] bool IsVirtual() const override { return true; }

  private:
    std::atomic<std::int64_t> now_{0};
};

// The steady clock of the machine, from the moment it was made.
class RealClock final : public Clock {
  public:
    [[nodiscard]] SimTime Now() const override;
    void WaitUntil(SimTime time) override;
    [[nodiscard]] bool IsVirtual() const override { return false; }
    [[nodiscard]] std::chrono::steady_clock::time_point ToSteady(SimTime time) const {
        return start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(time);
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace qdm::sim
