#pragma once
// What runs on the dongle's CPU: a program that takes one command list and produces its reply.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qdm::sim {

// Facts about the dongle that its firmwares report; owned by the dongle, read at every list so
// tests may change them at run time.
struct DongleFacts {
    std::array<std::uint8_t, 4> hardwareVersion{0x05, 0x01, 0x00, 0x00};  // answer to 01 03
    std::array<std::uint8_t, 4> firmwareInfo{0x01, 0x00, 0x02, 0x00};     // answer to 01 01
    std::optional<std::uint8_t> boardIdOverride;  // replaces the board's ID byte (15 00)
};

// Reply bytes of the commands every firmware shares.
inline constexpr std::array<std::uint8_t, 2> kWriterIdentity{0x14, 0x02};  // answer to 01 02
inline constexpr std::uint8_t kAckByte = 0x55;

class Firmware {
  public:
    Firmware() = default;
    Firmware(const Firmware&) = delete;
    Firmware& operator=(const Firmware&) = delete;
    virtual ~Firmware() = default;

    // The CPU starts (or restarts) this program: its volatile state goes back to idle.
    virtual void Start() = 0;
    // Executes `list` and appends its reply to `reply` (which arrives empty). False when the
    // whole reply is withheld.
    virtual bool Run(std::span<const std::uint8_t> list, std::vector<std::uint8_t>& reply) = 0;
};

}  // namespace qdm::sim
