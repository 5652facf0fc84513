#include "sim/WriterFirmware.h"

#include <algorithm>
#include <cstring>

namespace qdm::sim {

namespace {
// The position of the next non-zero byte from `at` on. Every page group of a programming list
// ends in 248 fill bytes, so they are stepped over eight at a time.
std::size_t SkipFill(std::span<const std::uint8_t> list, std::size_t at) {
    while (at + 8 <= list.size()) {
        std::uint64_t word = 0;
        std::memcpy(&word, list.data() + at, sizeof word);
        if (word != 0) break;
        at += 8;
    }
    while (at < list.size() && list[at] == 0x00)
        ++at;
    return at;
}
}  // namespace

bool WriterFirmware::Run(std::span<const std::uint8_t> list, std::vector<std::uint8_t>& reply) {
    board_.BeginList();
    std::size_t at = 0;
    while (at < list.size()) {
        if (list[at] == 0x00) {
            at = SkipFill(list, at);
            continue;
        }
        const auto command = DecodeWriterCommand(list.subspan(at));
        if (!command) break;
        at += command->bytes.size();

        const std::size_t base = reply.size();
        reply.resize(base + command->replyLength, kFloatingBus);
        const auto out = std::span<std::uint8_t>(reply).subspan(base);
        switch (command->Opcode()) {
            case writer_op::Info:
                if (command->Arg(1) == 1)
                    std::copy(facts_.firmwareInfo.begin(), facts_.firmwareInfo.end(), out.begin());
                else if (command->Arg(1) == 2)
                    std::copy(kWriterIdentity.begin(), kWriterIdentity.end(), out.begin());
                else
                    std::copy(facts_.hardwareVersion.begin(), facts_.hardwareVersion.end(),
                              out.begin());
                break;
            case writer_op::EndGroup:
                break;
            case writer_op::Ack:
                out[0] = kAckByte;
                break;
            case writer_op::IoReadId:
                out[0] = facts_.boardIdOverride.value_or(board_.IdByte());
                break;
            default:
                board_.Execute(*command, out);
                break;
        }
    }
    if (board_.RefusedList()) {
        reply.clear();
        return false;
    }
    return true;
}

}  // namespace qdm::sim
