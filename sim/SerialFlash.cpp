#include "sim/SerialFlash.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qdm::sim {

SerialFlash::SerialFlash(Id id) : id_(id), data_(kSize, 0xFF) {}

bool SerialFlash::ProgramPage(std::uint32_t address, std::span<const std::uint8_t> data) {
    if (!writeEnabled_) return false;
    writeEnabled_ = false;
    const std::uint32_t page = Wrap(address) & ~(kPageSize - 1);
    std::uint32_t column = address & (kPageSize - 1);
    const std::size_t n = std::min<std::size_t>(data.size(), kPageSize);
    for (std::size_t i = 0; i < n; ++i) {
        data_[page + column] &= data[i];
        column = (column + 1) & (kPageSize - 1);
    }
    ApplyStuckBits();
    ++pagesProgrammed_;
    return true;
}

bool SerialFlash::EraseBlocks(std::uint32_t first, std::uint32_t count) {
    if (eraseFault_ != EraseFault::None) return eraseFault_ == EraseFault::Silent;
    count = std::min(count, kBlockCount);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t block = (first + i) % kBlockCount;
        std::memset(data_.data() + std::size_t{block} * kBlockSize, 0xFF, kBlockSize);
        ++blocksErased_;
    }
    ApplyStuckBits();
    return true;
}

bool SerialFlash::EraseChip() {
    if (!writeEnabled_) return false;
    writeEnabled_ = false;
    return EraseBlocks(0, kBlockCount);
}

void SerialFlash::Read(std::uint32_t address, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    std::uint32_t at = Wrap(address);
    while (done < out.size()) {
        const std::size_t n = std::min<std::size_t>(out.size() - done, kSize - at);
        std::memcpy(out.data() + done, data_.data() + at, n);
        done += n;
        at = 0;
    }
}

bool SerialFlash::IsBlockBlank(std::uint32_t block) const {
    // Word by word, like the count: every blank-check query scans a whole block of every chip.
    const std::uint8_t* begin = data_.data() + std::size_t{block % kBlockCount} * kBlockSize;
    for (std::size_t i = 0; i < kBlockSize; i += sizeof(std::uint64_t)) {
        std::uint64_t word = 0;
        std::memcpy(&word, begin + i, sizeof word);
        if (word != ~std::uint64_t{0}) return false;
    }
    return true;
}

std::uint32_t SerialFlash::CountOnes(std::uint32_t address) const {
    std::uint32_t ones = 0;
    std::uint32_t at = Wrap(address);
    std::uint32_t left = kCountRegion;
    while (left > 0) {
        const std::uint32_t n = std::min(left, kSize - at);
        std::uint32_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, data_.data() + at + i, sizeof word);
            ones += static_cast<std::uint32_t>(std::popcount(word));
        }
        for (; i < n; ++i)
            ones += static_cast<std::uint32_t>(std::popcount(data_[at + i]));
        left -= n;
        at = 0;
    }
    return ones;
}

void SerialFlash::Preload(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::uint32_t at = Wrap(address);
    for (const std::uint8_t b : bytes) {
        data_[at] = b;
        at = Wrap(at + 1);
    }
    ApplyStuckBits();
}

void SerialFlash::Fill(std::uint8_t value) {
    std::fill(data_.begin(), data_.end(), value);
    ApplyStuckBits();
}

void SerialFlash::AddStuckBit(StuckBit stuck) {
    stuck.address = Wrap(stuck.address);
    stuck.bit &= 7;
    stuck_.push_back(stuck);
    ApplyStuckBits();
}

void SerialFlash::ClearFaults() {
    stuck_.clear();
    eraseFault_ = EraseFault::None;
}

// Stuck cells are folded into the array after every change, so reads, blank checks and counts
// all see them without a per-byte test.
void SerialFlash::ApplyStuckBits() {
    for (const StuckBit& s : stuck_) {
        const auto mask = static_cast<std::uint8_t>(1U << s.bit);
        if (s.value)
            data_[s.address] |= mask;
        else
            data_[s.address] &= static_cast<std::uint8_t>(~mask);
    }
}

}  // namespace qdm::sim
