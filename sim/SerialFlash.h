#pragma once
// One 2 MiB serial NOR flash chip as the client boards carry it. Addresses wrap at the chip size,
// programming can only clear bits, erasing sets bytes to 0xFF. A page program needs the write
// enable latch, like the real part, so a host that forgets the write enable programs nothing.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace qdm::sim {

// How a chip reacts to an erase it has been told to refuse.
enum class EraseFault {
    None,      // erases normally
    Silent,    // reports success, leaves the contents as they were
    Reported,  // leaves the contents and reports the failure to the firmware
};

struct StuckBit {
    std::uint32_t address = 0;  // wrapped to the chip size
    std::uint8_t bit = 0;       // 0..7
    bool value = false;         // what the bit always reads
};

class SerialFlash {
  public:
    static constexpr std::uint32_t kSize = 2 * 1024 * 1024;
    static constexpr std::uint32_t kPageSize = 256;
    static constexpr std::uint32_t kBlockSize = 64 * 1024;
    static constexpr std::uint32_t kBlockCount = kSize / kBlockSize;  // 32
    static constexpr std::uint32_t kCountRegion = 32 * 1024;          // one-bit count unit

    using Id = std::array<std::uint8_t, 3>;

    explicit SerialFlash(Id id = {0xEF, 0x40, 0x15});

    static constexpr std::uint32_t Wrap(std::uint32_t address) { return address & (kSize - 1); }

    [[nodiscard]] const Id& ReadId() const { return id_; }
    void SetId(Id id) { id_ = id; }

    // Write enable latch: set by a write enable, consumed by a page program or an erase.
    void WriteEnable() { writeEnabled_ = true; }
    [[nodiscard]] bool WriteEnabled() const { return writeEnabled_; }

    // Programs `data` (at most one page) into the page holding `address`, wrapping inside that
    // page as the part does. Needs the write enable latch and clears it. False when not enabled.
    bool ProgramPage(std::uint32_t address, std::span<const std::uint8_t> data);

    // Erases `count` 64 KiB blocks starting at block `first` (both wrap modulo 32). Returns false
    // only for a Reported erase fault.
    bool EraseBlocks(std::uint32_t first, std::uint32_t count);
    // Whole-chip erase; needs and clears the write enable latch. False when not enabled or for a
    // Reported erase fault.
    bool EraseChip();

    [[nodiscard]] std::uint8_t ReadByte(std::uint32_t address) const {
        return data_[Wrap(address)];
    }
    // Reads `out.size()` bytes from `address` on, wrapping at the chip size.
    void Read(std::uint32_t address, std::span<std::uint8_t> out) const;
    [[nodiscard]] bool IsBlockBlank(std::uint32_t block) const;
    // One bits in the 32 KiB starting at `address` (wrapping).
    [[nodiscard]] std::uint32_t CountOnes(std::uint32_t address) const;

    // Contents as the chip reads them (stuck bits included).
    [[nodiscard]] std::span<const std::uint8_t> Contents() const { return data_; }
    // Test access: writes bytes directly, as if the chip had been programmed elsewhere.
    void Preload(std::uint32_t address, std::span<const std::uint8_t> bytes);
    void Fill(std::uint8_t value);

    void SetEraseFault(EraseFault fault) { eraseFault_ = fault; }
    [[nodiscard]] EraseFault GetEraseFault() const { return eraseFault_; }
    void AddStuckBit(StuckBit stuck);
    void ClearFaults();

    // Power cycle: volatile state only, the cells keep their contents.
    void PowerCycle() { writeEnabled_ = false; }

    [[nodiscard]] std::uint32_t PagesProgrammed() const { return pagesProgrammed_; }
    [[nodiscard]] std::uint32_t BlocksErased() const { return blocksErased_; }

  private:
    void ApplyStuckBits();

    Id id_;
    std::vector<std::uint8_t> data_;
    std::vector<StuckBit> stuck_;
    EraseFault eraseFault_ = EraseFault::None;
    bool writeEnabled_ = false;
    std::uint32_t pagesProgrammed_ = 0;
    std::uint32_t blocksErased_ = 0;
};

}  // namespace qdm::sim
