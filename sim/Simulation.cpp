#include "sim/Simulation.h"

#include <array>
#include <utility>

#include "sim/StandInFirmware.h"

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

Simulation MakeSimulation(DongleConfig config, std::shared_ptr<Clock> clock) {
    Simulation sim{std::make_shared<VirtualDriver>(std::move(clock)),
                   std::make_shared<VirtualDongle>(std::move(config))};
    sim.driver->Attach(sim.dongle);
    return sim;
}

void PreloadWriterFirmware(VirtualDongle& dongle) {
    constexpr std::uint8_t kVendorOut = 0x40;
    const auto load = [&dongle](std::uint16_t address, std::span<const std::uint8_t> bytes) {
        std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
        dongle.ControlTransfer(
            {kVendorOut, kFirmwareLoadRequest, address, 0, static_cast<std::uint16_t>(data.size())},
            data);
    };
    const std::array<std::uint8_t, 1> hold{1};
    const std::array<std::uint8_t, 1> release{0};
    load(kCpuControlAddress, hold);
    for (const FirmwareRecord& record : StandInFirmwareRecords())
        load(record.address, record.data);
    load(kCpuControlAddress, release);
    dongle.ClearControlLog();
}

std::optional<Simulation> MakeSimulation(std::string_view board) {
    auto config = ConfigForBoard(board);
    if (!config) return std::nullopt;
    return MakeSimulation(std::move(*config));
}

}  // namespace qdm::sim
