#include "sim/BootFirmware.h"

namespace qdm::sim {

bool BootFirmware::Run(std::span<const std::uint8_t> list, std::vector<std::uint8_t>& reply) {
    std::size_t at = 0;
    while (at < list.size()) {
        if (list[at] == 0x00) {
            ++at;
            continue;
        }
        if (at + 1 >= list.size()) break;
        if (list[at] == 0x01 && list[at + 1] == 0x03) {
            reply.insert(reply.end(), facts_.hardwareVersion.begin(), facts_.hardwareVersion.end());
        } else if (list[at] != 0x02) {
            break;
        }
        at += 2;
    }
    if (at < list.size()) {
        reply.clear();
        return false;
    }
    return true;
}

}  // namespace qdm::sim
