#include "sim/WriterCommand.h"

namespace qdm::sim {

namespace {

struct Shape {
    std::size_t length = 0;
    std::size_t reply = 0;
};

std::optional<Shape> ShapeOf(std::uint8_t opcode, std::uint8_t sub) {
    using namespace writer_op;
    constexpr std::size_t kData = 4 + kPageDataSize;
    switch (opcode) {
        case Info:
            if (sub == 1 || sub == 3) return Shape{2, 4};
            if (sub == 2) return Shape{2, 2};
            return std::nullopt;
        case EndGroup:
        case IoWrite:
        case IoSetupA:
        case IoSetupB:
        case IoSetupC:
        case R8Select:
        case DemoMode:
        case R1Select:
            return Shape{2, 0};
        case Ack:
        case IoReadId:
        case IoReadBusy:
            return Shape{2, 1};
        case R8Query:
        case R1Query:
            if (sub == 0x01) return Shape{2, opcode == R8Query ? 12U : 3U};
            if (sub == 0x03) return Shape{2, 1};
            if (sub == 0x04) return Shape{4, 1};
            return std::nullopt;
        case R8Write:
        case R1Write:
            if (sub == 0x55) return Shape{2, 0};
            if (sub == 0xA5) return Shape{4, 2};
            return std::nullopt;
        case R8SetAddress:
        case R1SetAddress:
            return Shape{4, 0};
        case R8Read:
            return Shape{2, 8 * (std::size_t{sub} + 1)};
        case R1Read:
            return Shape{2, 2 * (std::size_t{sub} + 1)};
        case R8ProgramPage:
        case R1ProgramPage:
        case DemoProgramPage:
            return Shape{kData, 0};
        case DemoQuery:
            if (sub == 0x01) return Shape{2, 3};
            if (sub == 0x02 || sub == 0x03) return Shape{2, 1};
            return std::nullopt;
        case DemoWrite:
            if (sub == 0x55 || sub == 0xA0) return Shape{2, 0};
            return std::nullopt;
        case DemoBitCount:
        case R1BitCount:
            return Shape{4, 3};
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<WriterCommand> DecodeWriterCommand(std::span<const std::uint8_t> list) {
    if (list.size() < 2) return std::nullopt;  // every command has at least two bytes
    const auto shape = ShapeOf(list[0], list[1]);
    if (!shape || shape->length > list.size()) return std::nullopt;
    return WriterCommand{list.first(shape->length), shape->reply};
}

}  // namespace qdm::sim
