#include "sim/Simulation.h"

#include <utility>

namespace qdm::sim {

std::optional<DongleConfig> ConfigForBoard(std::string_view board) {
    DongleConfig config;
    if (board == "k3r8") {
        config.board = BoardKind::K3r8;
    } else if (board == "k3r1") {
        config.board = BoardKind::K3r1;
    } else if (board == "demoboard") {
        config.board = BoardKind::Demoboard;
    } else if (board == "mcurom") {
        config.kind = DongleKind::McuRom;
        config.board = BoardKind::None;
        config.product = "EZ-USB MCU-ROM Writer (virtual)";
    } else {
        return std::nullopt;
    }
    return config;
}

Simulation MakeSimulation(DongleConfig config) {
    Simulation sim{std::make_shared<VirtualDriver>(),
                   std::make_shared<VirtualDongle>(std::move(config))};
    sim.driver->Attach(sim.dongle);
    return sim;
}

std::optional<Simulation> MakeSimulation(std::string_view board) {
    auto config = ConfigForBoard(board);
    if (!config) return std::nullopt;
    return MakeSimulation(std::move(*config));
}

}  // namespace qdm::sim
