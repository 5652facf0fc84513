// Writes the sample ROM files and the virtual dongle's firmware file into a folder, with the
// project's own encoder. Every file is checked by loading it back the way a download does.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/StandInFirmware.h"
#include "state/Mainprocess.h"
#include "usb/Fileiofunctions.h"
#include "workflows/ChipProperties.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/RomImage.h"

namespace {

using qdm::RomKind;

struct Sample {
    const char* name;
    int agent;           // row of AgentNames
    std::size_t size;    // plain image bytes
    int chipIndex;       // 0 for a raw file
    std::uint8_t first;  // first plain byte: one of the three a right key gives
};

// Deterministic stand-in for speech data: a first byte the key test accepts, then noise.
std::vector<std::uint8_t> PlainImage(std::size_t size, std::uint8_t first, std::uint32_t seed) {
    std::vector<std::uint8_t> plain(size);
    std::uint32_t x = seed;
    for (auto& b : plain) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    plain[0] = first;
    return plain;
}

bool Write(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    if (qdm::WriteFileFrom(bytes, file)) return true;
    std::fprintf(stderr, "cannot write %s\n", file.string().c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qdm-make-samples FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);

    const std::vector<Sample> samples = {
        {"QL020_PB_RV24.bin", 6, 0x10000, 2, 0xC8},
        {"QL020_PB_RV20.bin", 6, 0x10000, 0, 0xC8},
        {"QN040_PB_RV24.bin", 6, 0x20000, 10, 0xC8},
        {"QM010_Brask_RV24.bin", 7, 0x8000, 4, 0xC8},
        {"QM010_Brask_RV20.bin", 7, 0x8000, 0, 0xC8},
        {"QM020_Brenz-Co_RV24.bin", 3, 0x10000, 6, 0x00},
    };
    std::uint32_t seed = 1;
    for (const Sample& s : samples) {
        const auto plain = PlainImage(s.size, s.first, seed++);
        const std::uint8_t key = qdm::AgentKey(s.agent);
        std::vector<std::uint8_t> file;
        if (s.chipIndex != 0) {
            const std::uint8_t code = qdm::ChipRow(s.chipIndex)->code;
            auto wrapped = qdm::WrapRomContainer(qdm::MakeChainedImage(plain, key), code,
                                                 static_cast<std::uint8_t>(s.chipIndex), false);
            if (!wrapped) return 1;
            file = std::move(wrapped.value());
        } else {
            auto raw = qdm::MakeRawFileImage(plain, key);
            if (!raw) return 1;
            file = std::move(raw.value());
        }
        // A download starts from the built-in agent and must find this one.
        qdm::ResetProgramState();
        auto loaded = qdm::LoadRomBytes(file, s.name);
        if (!loaded || loaded.value().AgentIndex() != s.agent) {
            std::fprintf(stderr, "%s is not found as agent %d\n", s.name, s.agent);
            return 1;
        }
        if (!Write(folder / s.name, file)) return 1;
    }

    const std::string hex = qdm::sim::StandInFirmwareHex();
    if (!Write(folder / "virtual-dongle-firmware.hex", {hex.begin(), hex.end()})) return 1;
    if (!Write(folder / "virtual-dongle-firmware.TBH", qdm::sim::StandInFirmwareFile())) return 1;
    return 0;
}
