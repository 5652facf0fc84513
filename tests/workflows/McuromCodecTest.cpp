#include "workflows/Mcurom_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace qdm {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(PairFunctions, ValuesAndInverses) {
    struct Case {
        std::uint8_t in, swapped, reversed;
    };
    const Case cases[] = {{0x12, 0x21, 0x84}, {0xC8, 0xC4, 0x23}, {0x80, 0x40, 0x02},
                          {0x01, 0x02, 0x40}, {0x1B, 0x27, 0xE4}, {0x55, 0xAA, 0x55}};
    for (const Case& c : cases) {
        EXPECT_EQ(PairSwap(c.in), c.swapped) << int{c.in};
        EXPECT_EQ(PairReverse(c.in), c.reversed) << int{c.in};
    }
    for (int v = 0; v < 256; ++v) {
        const auto b = static_cast<std::uint8_t>(v);
        EXPECT_EQ(PairSwap(PairSwap(b)), b);
        EXPECT_EQ(PairReverse(PairReverse(b)), b);
    }
}

TEST(AgentKeys, TableAndOutOfRangeIndex) {
    const Bytes keys = {0x5E, 0x5B, 0x6C, 0x7D, 0x8E, 0x4D, 0xA1, 0xB2, 0xC3, 0xD4};
    for (std::int32_t agent = 0; agent < 10; ++agent)
        EXPECT_EQ(AgentKey(agent), keys[std::size_t(agent)]);
    EXPECT_EQ(AgentKey(-1), 0xA1);  // the built-in agent stands in
    EXPECT_EQ(AgentKey(10), 0xA1);
}

// Worked by hand: key 0xA1, plain C8 00 FF.
TEST(ScrambledForms, HandWorkedExamples) {
    Bytes chained = {0xC8, 0x00, 0xFF};
    EncodeChainedImage(chained, 0xA1);
    EXPECT_EQ(chained, (Bytes{0x9A, 0xC4, 0xFF}));
    DecodeChainedImage(chained, 0xA1);
    EXPECT_EQ(chained, (Bytes{0xC8, 0x00, 0xFF}));

    Bytes raw = {0xC8, 0x00, 0xFF};
    EncodeRawFileImage(raw, 0xA1);
    EXPECT_EQ(raw, (Bytes{0x82, 0x23, 0xFF}));
    DecodeRawFileImage(raw, 0xA1);
    EXPECT_EQ(raw, (Bytes{0xC8, 0x00, 0xFF}));
}

TEST(ScrambledForms, DecodeThenEncodeGivesTheSameBytes) {
    std::mt19937 engine(1);
    Bytes stored(4096);
    for (auto& b : stored)
        b = static_cast<std::uint8_t>(engine());
    for (const std::uint8_t key : AgentScrambleKeys) {
        Bytes work = stored;
        DecodeChainedImage(work, key);
        EXPECT_NE(work, stored);
        EncodeChainedImage(work, key);
        EXPECT_EQ(work, stored) << int{key};
        DecodeRawFileImage(work, key);
        EncodeRawFileImage(work, key);
        EXPECT_EQ(work, stored) << int{key};
    }
}

// Outcomes worked out by hand from the masks PairSwap(Ka ^ Kb) (chained) and PairReverse(Ka ^ Kb)
// (raw-file) between the agents' keys.
TEST(KeySearch, OrderAndFirstTrialRule) {
    using F = ScrambledForm;
    struct Case {
        const char* what;
        F form;
        std::int32_t madeWith;
        std::uint8_t firstPlain;
        std::int32_t current;
        std::int32_t found;
        bool passed;
    };
    const Case cases[] = {
        {"raw, 0xFF under the current key is kept", F::RawFile, 6, 0xFF, 6, 6, true},
        {"container, 0xFF refused; agent 0 gives 0x00", F::Chained, 6, 0xFF, 6, 0, true},
        {"container, agent 0 current: 0xFF taken on the retry", F::Chained, 0, 0xFF, 0, 0, true},
        {"container of agent 3: 6 and 0 fail, 3 passes", F::Chained, 3, 0xC8, 6, 3, true},
        {"container of agent 3, plain 0x00", F::Chained, 3, 0x00, 6, 3, true},
        {"container of agent 3, plain 0xFF", F::Chained, 3, 0xFF, 6, 3, true},
        {"container of agent 7", F::Chained, 7, 0xC8, 6, 7, true},
        {"raw of agent 3, plain 0xC8: agent 6 gives 0xFF", F::RawFile, 3, 0xC8, 6, 6, true},
        {"raw of agent 3, plain 0x00: agent 0 gives 0xC8", F::RawFile, 3, 0x00, 6, 0, true},
        {"container of agent 2, plain 0xC8", F::Chained, 2, 0xC8, 6, 6, false},
        {"container of agent 2, plain 0x00", F::Chained, 2, 0x00, 6, 6, false},
        {"container of agent 2, plain 0xFF", F::Chained, 2, 0xFF, 6, 6, false},
        {"raw of agent 2, plain 0xC8", F::RawFile, 2, 0xC8, 6, 6, false},
        {"raw of agent 2, plain 0x00", F::RawFile, 2, 0x00, 6, 6, false},
        {"raw of agent 2, plain 0xFF", F::RawFile, 2, 0xFF, 6, 6, false},
        {"agent 2 current keeps its own file", F::Chained, 2, 0xC8, 2, 2, true},
    };
    for (const Case& c : cases) {
        Bytes head = {c.firstPlain};
        if (c.form == F::Chained) {
            EncodeChainedImage(head, AgentKey(c.madeWith));
        } else {
            EncodeRawFileImage(head, AgentKey(c.madeWith));
        }
        EXPECT_EQ(FirstPlainByte(c.form, head[0], AgentKey(c.madeWith)), c.firstPlain) << c.what;
        const AgentSearchResult r = SearchAgentKey(c.form, head[0], c.current);
        EXPECT_EQ(r.agentIndex, c.found) << c.what;
        EXPECT_EQ(r.passed, c.passed) << c.what;
    }
}

TEST(KeySearch, EmptyRawImageKeepsTheCurrentAgent) {
    Bytes empty;
    EXPECT_EQ(TranscodeRawImage(empty, 4).agentIndex, 4);
}

// The chained form decoded straight from its definition, plain[i] = stored[i] ^
// PairSwap(plain[i - 1]) with the key before the first byte, one byte at a time.
Bytes DecodeByDefinition(const Bytes& stored, std::uint8_t key) {
    Bytes plain(stored.size());
    std::uint8_t before = key;
    for (std::size_t i = 0; i < stored.size(); ++i)
        before = plain[i] = static_cast<std::uint8_t>(stored[i] ^ PairSwap(before));
    return plain;
}

std::uint32_t Sum(const Bytes& bytes) {
    std::uint32_t sum = 0;
    for (const std::uint8_t b : bytes)
        sum += b;
    return sum;
}

// The decoder takes the image eight bytes at a time; every length, and so every way an image
// can end inside a word, must give what the definition gives.
TEST(ScrambledForms, ChainedDecodeAndSumFollowTheDefinitionAtEveryLength) {
    std::mt19937 engine(3);
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= 40; ++n)
        sizes.push_back(n);
    sizes.insert(sizes.end(), {1023, 1024, 1025, 8 * 1024 + 5, 20000});
    for (const std::size_t size : sizes) {
        Bytes stored(size);
        for (auto& b : stored)
            b = static_cast<std::uint8_t>(engine());
        for (const std::uint8_t key :
             {std::uint8_t{0x00}, std::uint8_t{0xA1}, std::uint8_t{0xFF}}) {
            const Bytes expected = DecodeByDefinition(stored, key);
            Bytes work = stored;
            DecodeChainedImage(work, key);
            EXPECT_EQ(work, expected) << size << " " << int{key};
            EXPECT_EQ(ChainedPlainSum(stored, key), Sum(expected)) << size << " " << int{key};
        }
    }
}

// The sum is kept in narrow lanes for a while; an image of erased flash fills them fastest.
TEST(ScrambledForms, ChainedSumOfALargeErasedImage) {
    Bytes chained(3 * 1024 * 1024 + 3, 0xFF);
    EncodeChainedImage(chained, 0x5E);
    EXPECT_EQ(ChainedPlainSum(chained, 0x5E), 255U * (3 * 1024 * 1024 + 3));
}

}  // namespace
}  // namespace qdm
