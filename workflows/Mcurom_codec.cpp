#include "workflows/Mcurom_codec.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "state/Mainprocess.h"

namespace qdm {

namespace {

// Whole images go through these per byte; a table keeps the loops cheap even unoptimised.
template <std::uint8_t (*F)(std::uint8_t)>
constexpr std::array<std::uint8_t, 256> ByteTable() {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t v = 0; v < table.size(); ++v)
        table[v] = F(static_cast<std::uint8_t>(v));
    return table;
}

constexpr std::array<std::uint8_t, 256> kPairSwap = ByteTable<PairSwap>();
constexpr std::array<std::uint8_t, 256> kPairReverse = ByteTable<PairReverse>();

static_assert(PairSwap(0x12) == 0x21 && PairReverse(0x12) == 0x84);
static_assert(PairReverse(PairReverse(0xC8)) == 0xC8);

}  // namespace

std::uint8_t AgentKey(std::int32_t agentIndex) {
    if (agentIndex < 0 || agentIndex >= static_cast<std::int32_t>(kAgentCount))
        agentIndex = kBuiltInAgentIndex;
    return AgentScrambleKeys[static_cast<std::size_t>(agentIndex)];
}

std::uint8_t FirstPlainByte(ScrambledForm form, std::uint8_t firstStored, std::uint8_t key) {
    if (form == ScrambledForm::RawFile)
        return PairReverse(static_cast<std::uint8_t>(key ^ firstStored));
    return static_cast<std::uint8_t>(firstStored ^ PairSwap(key));
}

AgentSearchResult SearchAgentKey(ScrambledForm form, std::uint8_t firstStored,
                                 std::int32_t currentAgent) {
    const bool erasedOnFirstTrial = form == ScrambledForm::RawFile;
    if (PassesKeyTest(FirstPlainByte(form, firstStored, AgentKey(currentAgent)),
                      erasedOnFirstTrial))
        return {currentAgent, true};
    for (const std::int32_t agent : kAgentSearchOrder) {
        if (PassesKeyTest(FirstPlainByte(form, firstStored, AgentKey(agent)), true))
            return {agent, true};
    }
    return {currentAgent, false};
}

// PairSwap is a bit permutation and its own inverse, so plain[i] = stored[i] ^
// PairSwap(stored[i - 1]) ^ plain[i - 2], the key standing in for stored[-1] and plain[-1] and 0
// for plain[-2]. Every d[i] = stored[i] ^ PairSwap(stored[i - 1]) stands on its own, and plain is
// the running XOR of every other d; so eight bytes go at a time in a 64-bit word: d for all of
// them at once, then the running XOR over the even and the odd lanes with two shifts, then the
// last two plain bytes of the word before folded in. Whole images go through here on every load.
namespace {
template <bool kStore>
std::uint32_t DecodeChained(const std::uint8_t* in, std::uint8_t* out, std::size_t size,
                            std::uint8_t key) {
    std::uint8_t previousStored = key;
    std::uint8_t beforePrevious = 0;  // plain[i - 2]
    std::uint8_t previous = key;      // plain[i - 1]
    std::uint32_t sum = 0;
    std::size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kLow = 0x5555555555555555;
        constexpr std::uint64_t kHigh = 0xAAAAAAAAAAAAAAAA;
        constexpr std::uint64_t kLanes16 = 0x00FF00FF00FF00FF;
        constexpr std::uint64_t kSpread16 = 0x0001000100010001;
        // The last two plain bytes as the top two bytes of the word before.
        std::uint64_t before = std::uint64_t{key} << 56;
        while (i + 8 <= size) {
            // Byte sums in four 16-bit lanes, folded before a lane could overflow.
            std::uint64_t lanes = 0;
            const std::size_t end = std::min(size - (size - i) % 8, i + 8 * 128);
            for (; i < end; i += 8) {
                std::uint64_t stored = 0;
                std::memcpy(&stored, in + i, sizeof stored);
                const std::uint64_t shifted = stored << 8 | previousStored;
                previousStored = static_cast<std::uint8_t>(stored >> 56);
                std::uint64_t plain = stored ^ (((shifted >> 1) & kLow) | ((shifted << 1) & kHigh));
                plain ^= plain << 16;
                plain ^= plain << 32;
                plain ^= (before >> 48) * kSpread16;
                before = plain;
                if constexpr (kStore) std::memcpy(out + i, &plain, sizeof plain);
                lanes += (plain & kLanes16) + ((plain >> 8) & kLanes16);
            }
            lanes = (lanes & 0x0000FFFF0000FFFF) + ((lanes >> 16) & 0x0000FFFF0000FFFF);
            sum += static_cast<std::uint32_t>(lanes) + static_cast<std::uint32_t>(lanes >> 32);
        }
        beforePrevious = static_cast<std::uint8_t>(before >> 48);
        previous = static_cast<std::uint8_t>(before >> 56);
    }
    const std::uint8_t* swap = kPairSwap.data();
    for (; i < size; ++i) {
        const std::uint8_t stored = in[i];
        const auto plain =
            static_cast<std::uint8_t>(stored ^ swap[previousStored] ^ beforePrevious);
        if constexpr (kStore) out[i] = plain;
        sum += plain;
        beforePrevious = previous;
        previous = plain;
        previousStored = stored;
    }
    return sum;
}
}  // namespace

void DecodeChainedImage(std::span<std::uint8_t> image, std::uint8_t key) {
    DecodeChained<true>(image.data(), image.data(), image.size(), key);
}

std::uint32_t ChainedPlainSum(std::span<const std::uint8_t> chained, std::uint8_t key) {
    return DecodeChained<false>(chained.data(), nullptr, chained.size(), key);
}

void EncodeChainedImage(std::span<std::uint8_t> image, std::uint8_t key) {
    const std::uint8_t* swap = kPairSwap.data();
    std::uint8_t* p = image.data();
    std::uint8_t previous = key;
    for (std::size_t i = 0; i < image.size(); ++i) {
        const std::uint8_t plain = p[i];
        p[i] = static_cast<std::uint8_t>(plain ^ swap[previous]);
        previous = plain;
    }
}

void DecodeRawFileImage(std::span<std::uint8_t> image, std::uint8_t key) {
    const std::uint8_t* reverse = kPairReverse.data();
    std::uint8_t* p = image.data();
    std::uint8_t running = key;
    for (std::size_t i = 0; i < image.size(); ++i) {
        running = static_cast<std::uint8_t>(running ^ p[i]);
        p[i] = reverse[running];
    }
}

void EncodeRawFileImage(std::span<std::uint8_t> image, std::uint8_t key) {
    const std::uint8_t* reverse = kPairReverse.data();
    std::uint8_t* p = image.data();
    std::uint8_t previous = key;
    for (std::size_t i = 0; i < image.size(); ++i) {
        const std::uint8_t running = reverse[p[i]];
        p[i] = static_cast<std::uint8_t>(running ^ previous);
        previous = running;
    }
}

void RawFileToChained(std::span<std::uint8_t> image, std::uint8_t key) {
    const std::uint8_t* reverse = kPairReverse.data();
    const std::uint8_t* swap = kPairSwap.data();
    std::uint8_t* p = image.data();
    std::uint8_t running = key;
    std::uint8_t previousPlain = key;
    for (std::size_t i = 0; i < image.size(); ++i) {
        running = static_cast<std::uint8_t>(running ^ p[i]);
        const std::uint8_t plain = reverse[running];
        p[i] = static_cast<std::uint8_t>(plain ^ swap[previousPlain]);
        previousPlain = plain;
    }
}

AgentSearchResult TranscodeRawImage(std::span<std::uint8_t> image, std::int32_t currentAgent) {
    if (image.empty()) return {currentAgent, false};
    const AgentSearchResult found = SearchAgentKey(ScrambledForm::RawFile, image[0], currentAgent);
    RawFileToChained(image, AgentKey(found.agentIndex));
    return found;
}

}  // namespace qdm
