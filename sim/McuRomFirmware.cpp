#include "sim/McuRomFirmware.h"

namespace qdm::sim {

namespace {
constexpr std::uint8_t kNothingRead = 0x00;
}

void McuRomFirmware::Start() {
    linkMode_ = false;
    programRun_ = false;
    lines_ = mcurom_lines::Released;
    dataDirection_ = 0x00;
    dataLatch_ = 0xFF;
    setup_ = 0x00;
    position_ = 0;
}

bool McuRomFirmware::CanRead() const {
    constexpr std::uint8_t kActive = mcurom_lines::ChipEnable | mcurom_lines::OutputEnable;
    return linkMode_ && dataDirection_ == 0x00 && (lines_ & kActive) == 0;
}

void McuRomFirmware::SetLines(std::uint8_t lines) {
    using namespace mcurom_lines;
    const bool strobeEnds = (lines_ & WriteEnable) == 0 && (lines & WriteEnable) != 0;
    const bool chipEnabled = (lines_ & ChipEnable) == 0 && (lines & ChipEnable) == 0;
    lines_ = lines;
    if (strobeEnds && chipEnabled && linkMode_ && dataDirection_ == 0xFF)
        flash_.WriteCycle(position_, dataLatch_);
}

std::size_t McuRomFirmware::Step(std::span<const std::uint8_t> list, std::size_t at,
                                 std::vector<std::uint8_t>& reply) {
    using namespace mcurom_op;
    const std::size_t left = list.size() - at;
    if (left < 2) return 0;
    const std::uint8_t op = list[at];
    const std::uint8_t arg = list[at + 1];
    switch (op) {
        case Info:
            if (arg != 0x03) return 0;
            reply.insert(reply.end(), facts_.hardwareVersion.begin(), facts_.hardwareVersion.end());
            return 2;
        case EndGroup:
            return 2;
        case Ack:
            reply.push_back(kAckByte);
            return 2;
        case Lines:
            SetLines(arg);
            return 2;
        case Mode:
            linkMode_ = arg == 0x01;
            if (!linkMode_) programRun_ = false;
            return 2;
        case Setup:
            setup_ = arg;
            return 2;
        case DataLines:
            dataDirection_ = arg;
            return 2;
        case Program: {
            const std::size_t count = 2 * (std::size_t{arg} + 1);
            if (left < 2 + count) return 0;
            if (linkMode_ && programRun_) {
                // Byte by byte, each with the chip's program algorithm.
                meter_->Spend(meter_->Timing().parallelByteProgram *
                              static_cast<std::int64_t>(count));
                flash_.Program(position_, list.subspan(at + 2, count));
                position_ = ParallelFlash::Wrap(position_ + static_cast<std::uint32_t>(count));
            }
            return 2 + count;
        }
        case ProgramBegin:
            if (arg == 0xAA && linkMode_) programRun_ = true;
            return 2;
        case ProgramEnd:
            if (arg == 0x55) programRun_ = false;
            return 2;
        case Block:
            position_ = ParallelFlash::Wrap(std::uint32_t{arg} * ParallelFlash::kBlockSize);
            return 2;
        case Address:
            if (left < 4) return 0;
            position_ = ParallelFlash::Wrap((std::uint32_t{list[at + 1]} << 16) |
                                            (std::uint32_t{list[at + 2]} << 8) | list[at + 3]);
            return 4;
        case ReadByte:
            meter_->Spend(meter_->Timing().parallelReadCycle);
            reply.push_back(CanRead() ? flash_.ReadCycle(position_) : kNothingRead);
            return 2;
        case Data:
            dataLatch_ = arg;
            return 2;
        case Read: {
            const std::size_t base = reply.size();
            reply.resize(base + kMcuRomReadSize, kNothingRead);
            meter_->Spend(meter_->Timing().parallelReadCycle *
                          static_cast<std::int64_t>(kMcuRomReadSize));
            if (CanRead()) {
                flash_.ReadCycles(position_, std::span<std::uint8_t>(reply).subspan(base));
                position_ = ParallelFlash::Wrap(position_ + kMcuRomReadSize);
            }
            return 2;
        }
        default:
            return 0;
    }
}

bool McuRomFirmware::Run(std::span<const std::uint8_t> list, std::vector<std::uint8_t>& reply) {
    std::size_t at = 0;
    while (at < list.size()) {
        if (list[at] == 0x00) {
            ++at;
            continue;
        }
        const std::size_t length = Step(list, at, reply);
        if (length == 0) break;
        at += length;
    }
    return true;
}

}  // namespace qdm::sim
