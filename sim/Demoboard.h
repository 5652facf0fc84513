#pragma once
// The speech demoboard: one serial flash chip that the host reaches only while flash access is on
// (46 AA .. 46 55), a run control (46 A5 holds the board, 46 5A releases it) and board power
// switched by the line sequence 11 38, 11 18, 11 58 (on) and 11 20 (off). A chip erase keeps
// the busy bit of the status (40 02) set for its erase time and at least a number of polls. Busy
// means the board refuses to be switched on: the list with the switch-on sequence gets no reply.
// A chip that refuses its erase keeps the busy bit for good.

#include <cstdint>
#include <optional>

#include "sim/ClientBoard.h"
#include "sim/SerialFlash.h"

namespace qdm::sim {

class Demoboard final : public ClientBoard {
  public:
    static constexpr std::uint8_t kStatusBusy = 0x01;
    static constexpr std::uint8_t kStatusWriteEnabled = 0x02;
    static constexpr std::uint32_t kDefaultEraseBusyPolls = 3;

    Demoboard() : chip_({0xEF, 0x40, 0x15}) {}

    [[nodiscard]] BoardKind Kind() const override { return BoardKind::Demoboard; }
    [[nodiscard]] std::uint8_t IdByte() const override { return board_id::Demoboard; }
    void Execute(const WriterCommand& command, std::span<std::uint8_t> reply) override;
    void ResetInterface() override;
    void PowerCycle() override;

    [[nodiscard]] SerialFlash& Chip() { return chip_; }
    [[nodiscard]] const SerialFlash& Chip() const { return chip_; }

    [[nodiscard]] bool Powered() const { return powered_; }
    [[nodiscard]] bool Held() const { return held_; }
    [[nodiscard]] bool FlashAccess() const { return flashAccess_; }
    [[nodiscard]] bool Erasing() const { return erasing_; }
    [[nodiscard]] std::uint32_t StatusPolls() const { return statusPolls_; }

    // Status polls that still report busy after a chip erase starts; nullopt: the erase never
    // ends.
    void SetEraseBusyPolls(std::optional<std::uint32_t> polls) { eraseBusyPolls_ = polls; }

  private:
    void LineWrite(std::uint8_t value);
    void ExecuteFlash(const WriterCommand& command, std::span<std::uint8_t> reply);
    [[nodiscard]] std::uint8_t Status() const;

    SerialFlash chip_;
    bool powered_ = false;
    bool held_ = false;
    bool flashAccess_ = false;
    int powerSequence_ = 0;  // steps of the switch-on sequence seen so far
    bool erasing_ = false;
    std::optional<std::uint32_t> eraseBusyPolls_ = kDefaultEraseBusyPolls;
    std::optional<std::uint32_t> pollsLeft_;
    SimTime eraseEnds_{};
    std::uint32_t statusPolls_ = 0;
};

}  // namespace qdm::sim
