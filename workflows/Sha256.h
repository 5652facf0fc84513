#pragma once
// SHA-256, for naming the exact ROM file a run programmed in the run log. Small enough to carry
// here rather than tie the core, and with it the Windows build, to a crypto library.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qdm {

class Sha256 {
  public:
    Sha256();
    void Update(std::span<const std::uint8_t> bytes);
    // The digest of everything given so far; the object is spent afterwards.
    std::array<std::uint8_t, 32> Finish();

  private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;  // bytes
};

// Lower-case hexadecimal digest of `bytes`.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace qdm
