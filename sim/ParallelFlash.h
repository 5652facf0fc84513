#pragma once
// The MCU-ROM: a 256 KiB parallel NOR flash (16 blocks of 16 KiB) driven by bus cycles. Write
// cycles feed the JEDEC-standard command state machine, of which only the six-cycle chip erase is
// understood; while an erase runs, reads return data-polling status (never 0xFF) until its erase
// time has passed and at least a number of reads have seen it, then the erase completes and reads
// return 0xFF.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/WorkMeter.h"

namespace qdm::sim {

class ParallelFlash {
  public:
    static constexpr std::uint32_t kSize = 256 * 1024;
    static constexpr std::uint32_t kBlockSize = 16 * 1024;
    static constexpr std::uint32_t kBlockCount = kSize / kBlockSize;
    static constexpr std::uint32_t kDefaultErasePollReads = 3;

    struct BusCycle {
        std::uint32_t address = 0;
        std::uint8_t data = 0;
        friend bool operator==(const BusCycle&, const BusCycle&) = default;
    };
    // The chip-erase command, byte mode.
    static constexpr std::array<BusCycle, 6> kChipEraseSequence{
        {{0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x80}, {0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x10}}};

    ParallelFlash();

    static constexpr std::uint32_t Wrap(std::uint32_t address) { return address & (kSize - 1); }

    // One write cycle (write-enable rising edge) with the address and data lines as they are.
    void WriteCycle(std::uint32_t address, std::uint8_t data);
    // One read cycle: the cell, or data-polling status while an erase runs.
    std::uint8_t ReadCycle(std::uint32_t address);
    // Reads `out.size()` consecutive cells from `address` on (wrapping), as that many read cycles.
    void ReadCycles(std::uint32_t address, std::span<std::uint8_t> out);
    // The firmware's embedded program algorithm: NOR (AND) into the cells; ignored while erasing.
    void Program(std::uint32_t address, std::span<const std::uint8_t> data);

    [[nodiscard]] bool Erasing() const { return erasing_; }
    [[nodiscard]] std::uint32_t ErasesStarted() const { return erasesStarted_; }
    [[nodiscard]] std::uint32_t WriteCycles() const { return writeCycles_; }

    // Reads that still see the erase running; nullopt: it never ends.
    void SetErasePollReads(std::optional<std::uint32_t> reads) { erasePollReads_ = reads; }
    // A refused erase runs its polling as usual but leaves the cells as they were.
    void SetEraseRefused(bool refused) { eraseRefused_ = refused; }

    [[nodiscard]] std::span<const std::uint8_t> Contents() const { return data_; }
    void Preload(std::uint32_t address, std::span<const std::uint8_t> bytes);
    void Fill(std::uint8_t value);

    // Power lost: the command state machine and a running erase stop; cells stay.
    void PowerCycle();

    // The dongle's meter, whose time an erase runs on (a flash on its own keeps its own).
    void UseMeter(WorkMeter& meter) { meter_ = &meter; }

  private:
    void FinishErase();

    std::vector<std::uint8_t> data_;
    std::size_t sequenceStep_ = 0;
    bool erasing_ = false;
    bool eraseRefused_ = false;
    bool toggle_ = false;
    std::optional<std::uint32_t> erasePollReads_ = kDefaultErasePollReads;
    std::optional<std::uint32_t> readsLeft_;
    std::uint32_t erasesStarted_ = 0;
    std::uint32_t writeCycles_ = 0;
    SimTime eraseEnds_{};
    WorkMeter ownMeter_;
    WorkMeter* meter_ = &ownMeter_;
};

}  // namespace qdm::sim
