#pragma once
// A client board behind the writer dongle, as the writer firmware sees it: it takes the board
// commands of a list one by one and fills their replies.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "sim/WorkMeter.h"
#include "sim/WriterCommand.h"

namespace qdm::sim {

enum class BoardKind { None, K3r8, K3r1, Demoboard };

std::string_view BoardKindName(BoardKind kind);

// Identification bytes the boards drive onto the ID lines (read with 15 00).
namespace board_id {
inline constexpr std::uint8_t K3r8 = 0x3F;
inline constexpr std::uint8_t K3r1 = 0xC1;
inline constexpr std::uint8_t Demoboard = 0x81;
inline constexpr std::uint8_t None = 0x40;
}  // namespace board_id

// Value of reply bytes nothing drives (pulled-up lines).
inline constexpr std::uint8_t kFloatingBus = 0xFF;

class ClientBoard {
  public:
    ClientBoard() = default;
    ClientBoard(const ClientBoard&) = delete;
    ClientBoard& operator=(const ClientBoard&) = delete;
    virtual ~ClientBoard() = default;

    [[nodiscard]] virtual BoardKind Kind() const = 0;
    [[nodiscard]] virtual std::uint8_t IdByte() const = 0;

    // Called before and after each list. A board that refuses the list (a busy board asked to
    // switch on) makes the firmware withhold the whole reply.
    virtual void BeginList() { refused_ = false; }
    [[nodiscard]] bool RefusedList() const { return refused_; }

    // Executes one board command (any opcode but 01, 02, 03, 15). `reply` holds exactly the
    // command's reply length and arrives filled with kFloatingBus; commands meant for another
    // board leave it so and change nothing.
    virtual void Execute(const WriterCommand& command, std::span<std::uint8_t> reply) = 0;

    // The writer firmware (re)started or the dongle lost power: interface selections, latches and
    // read positions go back to their idle values; flash contents stay.
    virtual void ResetInterface() = 0;
    // The dongle lost power, and the board with it.
    virtual void PowerCycle() { ResetInterface(); }

    // Busy fault: what "busy" means is the board's own (see each board).
    virtual void SetBusy(bool busy) { busy_ = busy; }
    [[nodiscard]] bool Busy() const { return busy_; }

    // The dongle's meter, which the board's work is added to (a board on its own keeps its own,
    // which counts no time).
    void UseMeter(WorkMeter& meter) { meter_ = &meter; }

  protected:
    void RefuseList() { refused_ = true; }
    [[nodiscard]] WorkMeter& Meter() { return *meter_; }

  private:
    bool refused_ = false;
    bool busy_ = false;
    WorkMeter ownMeter_;
    WorkMeter* meter_ = &ownMeter_;
};

// The socket with no board in it: only the ID lines, pulled to "none".
class EmptySocket final : public ClientBoard {
  public:
    [[nodiscard]] BoardKind Kind() const override { return BoardKind::None; }
    [[nodiscard]] std::uint8_t IdByte() const override { return board_id::None; }
    void Execute(const WriterCommand&, std::span<std::uint8_t>) override {}
    void ResetInterface() override {}
};

std::unique_ptr<ClientBoard> MakeBoard(BoardKind kind);

}  // namespace qdm::sim
