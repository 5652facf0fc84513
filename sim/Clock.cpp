#include "sim/Clock.h"

#include <thread>

namespace qdm::sim {

void VirtualClock::WaitUntil(SimTime time) {
    std::int64_t now = now_.load();
    while (now < time.count() && !now_.compare_exchange_weak(now, time.count())) {
    }
}

SimTime RealClock::Now() const {
    return std::chrono::duration_cast<SimTime>(std::chrono::steady_clock::now() - start_);
}

void RealClock::WaitUntil(SimTime time) {
    std::this_thread::sleep_until(ToSteady(time));
}

}  // namespace qdm::sim
