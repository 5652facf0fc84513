#include "sim/ParallelFlash.h"

#include <algorithm>
#include <cstring>

namespace qdm::sim {

namespace {
// Data polling while erasing: DQ7 low (the complement of the erased value), DQ6 toggling.
constexpr std::uint8_t kPollingA = 0x0C;
constexpr std::uint8_t kPollingB = 0x4C;
}  // namespace

ParallelFlash::ParallelFlash() : data_(kSize, 0xFF) {}

void ParallelFlash::WriteCycle(std::uint32_t address, std::uint8_t data) {
    ++writeCycles_;
    if (erasing_) return;
    const BusCycle cycle{Wrap(address), data};
    if (cycle == kChipEraseSequence[sequenceStep_]) {
        ++sequenceStep_;
    } else {
        // Any other cycle drops the command; it may itself begin a new one.
        sequenceStep_ = cycle == kChipEraseSequence[0] ? 1 : 0;
    }
    if (sequenceStep_ == kChipEraseSequence.size()) {
        sequenceStep_ = 0;
        erasing_ = true;
        readsLeft_ = erasePollReads_;
        ++erasesStarted_;
        eraseEnds_ = meter_->Now() + meter_->Timing().parallelChipErase;
        meter_->Background(meter_->Timing().parallelChipErase);
    }
}

void ParallelFlash::FinishErase() {
    erasing_ = false;
    if (!eraseRefused_) std::fill(data_.begin(), data_.end(), 0xFF);
}

std::uint8_t ParallelFlash::ReadCycle(std::uint32_t address) {
    if (!erasing_) return data_[Wrap(address)];
    if (readsLeft_) {
        if (*readsLeft_ > 0) {
            --*readsLeft_;
        } else if (meter_->Now() >= eraseEnds_) {
            FinishErase();
            return data_[Wrap(address)];
        }
    }
    toggle_ = !toggle_;
    return toggle_ ? kPollingB : kPollingA;
}

void ParallelFlash::ReadCycles(std::uint32_t address, std::span<std::uint8_t> out) {
    if (!erasing_) {
        std::uint32_t at = Wrap(address);
        std::size_t done = 0;
        while (done < out.size()) {
            const std::size_t n = std::min<std::size_t>(out.size() - done, kSize - at);
            std::memcpy(out.data() + done, data_.data() + at, n);
            done += n;
            at = 0;
        }
        return;
    }
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = ReadCycle(address + static_cast<std::uint32_t>(i));
}

void ParallelFlash::Program(std::uint32_t address, std::span<const std::uint8_t> data) {
    if (erasing_) return;
    std::uint32_t at = Wrap(address);
    for (const std::uint8_t b : data) {
        data_[at] &= b;
        at = Wrap(at + 1);
    }
}

void ParallelFlash::Preload(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::uint32_t at = Wrap(address);
    for (const std::uint8_t b : bytes) {
        data_[at] = b;
        at = Wrap(at + 1);
    }
}

void ParallelFlash::Fill(std::uint8_t value) {
    std::fill(data_.begin(), data_.end(), value);
}

void ParallelFlash::PowerCycle() {
    sequenceStep_ = 0;
    erasing_ = false;
    readsLeft_.reset();
}

}  // namespace qdm::sim
