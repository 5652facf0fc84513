#include "sim/Simulation.h"

#include <array>
#include <random>
#include <utility>
#include <vector>

#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"
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

void FillFlash(VirtualDongle& dongle, std::optional<std::uint8_t> byte) {
    std::mt19937 random{std::random_device{}()};
    const auto fill = [&](auto& flash, std::size_t size) {
        if (byte) {
            flash.Fill(*byte);
            return;
        }
        std::vector<std::uint8_t> bytes(size);
        for (std::uint8_t& b : bytes)
            b = static_cast<std::uint8_t>(random());
        flash.Preload(0, bytes);
    };
    if (dongle.Config().kind == DongleKind::McuRom) {
        fill(dongle.McuRomFlash(), ParallelFlash::kSize);
    } else if (K3r8Board* k3r8 = dongle.K3r8()) {
        for (std::size_t c = 0; c < K3r8Board::kChipCount; ++c)
            fill(k3r8->Chip(c), SerialFlash::kSize);
    } else if (K3r1Board* k3r1 = dongle.K3r1()) {
        fill(k3r1->Chip(), SerialFlash::kSize);
    } else if (Demoboard* demo = dongle.Demo()) {
        fill(demo->Chip(), SerialFlash::kSize);
    }
}

std::optional<Simulation> MakeSimulation(std::string_view board) {
    auto config = ConfigForBoard(board);
    if (!config) return std::nullopt;
    return MakeSimulation(std::move(*config));
}

}  // namespace qdm::sim
