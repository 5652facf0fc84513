#pragma once
// What the fuzz targets share: reading choices out of the fuzzer's bytes, a fresh virtual dongle
// per input whose replies the fuzzer controls, and the checks that end a run with a report.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Simulation.h"

namespace qdm::fuzz {

// The fuzzer's bytes read front to back; past the end every read gives zeros.
class FuzzInput {
  public:
    explicit FuzzInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    [[nodiscard]] bool Empty() const { return at_ >= bytes_.size(); }
    [[nodiscard]] std::size_t Remaining() const { return Empty() ? 0 : bytes_.size() - at_; }
    std::uint8_t Byte() { return Empty() ? 0 : bytes_[at_++]; }
    std::uint16_t Word() {
        const std::uint16_t high = Byte();
        return static_cast<std::uint16_t>(high << 8 | Byte());
    }
    std::uint32_t Long() {
        const std::uint32_t high = Word();
        return high << 16 | Word();
    }
    // 0..limit-1 (0 for a limit of 0).
    std::uint32_t Below(std::uint32_t limit) { return limit == 0 ? 0 : Long() % limit; }
    bool Flag() { return (Byte() & 1) != 0; }
    // Up to `n` bytes; fewer when the input ends.
    std::vector<std::uint8_t> Take(std::size_t n);
    // Everything that is left.
    std::vector<std::uint8_t> Rest() { return Take(Remaining()); }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// A broken guarantee: says which and stops the process, so the fuzzer keeps the input.
[[noreturn]] void Broken(std::string_view what);
inline void Require(bool holds, std::string_view what) {
    if (!holds) Broken(what);
}

// Quiet front-end hooks for a fuzz process: no sleeps, no pump, dumps into a private folder.
void QuietHooks();

// How the fuzzer's replies went; a run without lies must never claim success over wrong flash.
struct ReplyLog {
    std::uint64_t exchanges = 0;
    bool lied = false;  // a reply's content was changed, replaced or given extra bytes
};

// A fresh program state and a fresh virtual dongle for `board` ("k3r8", "k3r1", "demoboard",
// "mcurom") as the process's driver. `writerRunning` starts a writer dongle's firmware as a
// completed download leaves it (State().FirmwareLoaded is set then).
class FuzzDongle {
  public:
    FuzzDongle(std::string_view board, bool writerRunning);
    ~FuzzDongle();
    FuzzDongle(const FuzzDongle&) = delete;
    FuzzDongle& operator=(const FuzzDongle&) = delete;

    sim::VirtualDongle& Dongle() { return *simulation_.dongle; }
    sim::VirtualDriver& Driver() { return *simulation_.driver; }

    // Every reply from now on is first offered to `input`: a choice byte picks the genuine
    // reply (for up to 32 exchanges), none, a flipped byte, a replacement, a shortened or
    // lengthened reply, or an unplug after the list ran. Once the input is used up the replies are
    // genuine; after `exchangeLimit` exchanges nothing more is answered, so a run that would poll
    // for long ends soon.
    void FuzzReplies(FuzzInput& input, std::uint64_t exchangeLimit = 3000);
    [[nodiscard]] const ReplyLog& Replies() const { return *log_; }

    // No device handle, event or transfer may outlive an operation.
    void RequireNothingLeftOpen(std::string_view after);

  private:
    sim::Simulation simulation_;
    std::shared_ptr<ReplyLog> log_ = std::make_shared<ReplyLog>();
};

// The flash chips of the dongle's board (or its MCU-ROM), as they read now.
std::vector<std::span<const std::uint8_t>> FlashOf(sim::VirtualDongle& dongle);

// The firmware text of the virtual dongle, nibbles exchanged back, as start-up reads it.
const std::vector<std::uint8_t>& StandInFirmwareText();

}  // namespace qdm::fuzz
