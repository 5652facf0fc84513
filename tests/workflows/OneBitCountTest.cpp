// The one-bit count the demoboard and K3.r1 verify compares with the flash's own counts.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "workflows/DownloadWorkflow.h"

namespace qdm {
namespace {

// It counts eight bytes at a time; every length and start within a word must count the same as
// bit by bit.
TEST(CountOneBits, EveryLengthAndStart) {
    std::mt19937 engine(5);
    std::vector<std::uint8_t> bytes(64);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(engine());
    for (std::size_t start = 0; start < 8; ++start) {
        for (std::size_t length = 0; start + length <= bytes.size(); ++length) {
            std::uint64_t expected = 0;
            for (std::size_t i = start; i < start + length; ++i)
                for (int bit = 0; bit < 8; ++bit)
                    expected += (bytes[i] >> bit) & 1U;
            EXPECT_EQ(CountOneBits(std::span(bytes).subspan(start, length)), expected)
                << start << " " << length;
        }
    }
}

TEST(CountOneBits, ErasedAndProgrammedImages) {
    const std::vector<std::uint8_t> erased(2 * 1024 * 1024 + 1, 0xFF);
    EXPECT_EQ(CountOneBits(erased), 8U * erased.size());
    const std::vector<std::uint8_t> zero(4097, 0x00);
    EXPECT_EQ(CountOneBits(zero), 0U);
}

}  // namespace
}  // namespace qdm
