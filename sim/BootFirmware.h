#pragma once
// The dongle's boot program, running from plug-in until a firmware is loaded. It knows only the
// hardware-version query (01 03) and the end mark (02 00); a list with anything else in it gets
// no reply at all.

#include "sim/Firmware.h"

namespace qdm::sim {

class BootFirmware final : public Firmware {
  public:
    explicit BootFirmware(const DongleFacts& facts) : facts_(facts) {}

    void Start() override {}
    bool Run(std::span<const std::uint8_t> list, std::vector<std::uint8_t>& reply) override;

  private:
    const DongleFacts& facts_;
};

}  // namespace qdm::sim
