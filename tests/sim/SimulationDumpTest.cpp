// The dump of a simulated dongle: flash images, RAM and the two logs.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/K3r8Board.h"
#include "sim/SimulationDump.h"
#include "tests/sim/SimTestSupport.h"

namespace qdm::sim {
namespace {

TEST(SimulationDump, WritesFlashRamAndLogs) {
    const auto folder =
        std::filesystem::temp_directory_path() /
        ("qdmsim-dump-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::remove_all(folder);
    auto dongle = test::WriterDongle(BoardKind::K3r8);
    dongle->K3r8()->Chip(3).Preload(0x10, test::Bytes{0x42});
    dongle->NoReplyAtExchange(1);
    test::Exchange(*dongle, test::List().Add({0x01, 0x02, 0x02, 0x00}), 2);

    ASSERT_TRUE(WriteDongleDump(*dongle, folder));
    EXPECT_EQ(std::filesystem::file_size(folder / "ram.bin"), kRamSize);
    EXPECT_EQ(std::filesystem::file_size(folder / "chip4.bin"), SerialFlash::kSize);
    {
        std::ifstream chip(folder / "chip4.bin", std::ios::binary);
        chip.seekg(0x10);
        EXPECT_EQ(chip.get(), 0x42);
    }  // closed: Windows removes no open file
    std::stringstream exchanges;
    exchanges << std::ifstream(folder / "exchanges.txt").rdbuf();
    EXPECT_EQ(exchanges.str(),
              "#1 writer list[512] 01 02 02 00 00 00 00 00 00 00 00 00 00 00 00 00 ... | "
              "reply[2] 14 02 (withheld) fault=no-reply\n");
    std::stringstream controls;
    controls << std::ifstream(folder / "controls.txt").rdbuf();
    EXPECT_EQ(controls.str().substr(0, 28), "40 A0 E600 0000 0001 | 01\n40");
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace qdm::sim
