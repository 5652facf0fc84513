#pragma once
// The agents' byte scrambling of ROM images: the chained form every prepared image is held in,
// the raw-file form of raw images of the four classic sizes, and the search for the agent whose
// key a file was made with. Pure functions; the program state is left to the callers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qdm {

inline constexpr std::size_t kAgentCount = 10;

// One key per row of AgentNames.
inline constexpr std::array<std::uint8_t, kAgentCount> AgentScrambleKeys = {
    0x5E, 0x5B, 0x6C, 0x7D, 0x8E, 0x4D, 0xA1, 0xB2, 0xC3, 0xD4,
};

// Agents tried, in this order, when the current agent's key does not pass.
inline constexpr std::array<std::int32_t, 4> kAgentSearchOrder = {0, 3, 1, 7};

// Exchanges the two bits of every adjacent bit pair.
constexpr std::uint8_t PairSwap(std::uint8_t v) {
    return static_cast<std::uint8_t>(((v >> 1) & 0x55) | ((v << 1) & 0xAA));
}

// Reverses the order of the four bit pairs; its own inverse.
constexpr std::uint8_t PairReverse(std::uint8_t v) {
    return static_cast<std::uint8_t>(((v << 6) & 0xC0) | ((v << 2) & 0x30) | ((v >> 2) & 0x0C) |
                                     ((v >> 6) & 0x03));
}

// The key of an agent row. An index outside the table can only come from state that was never
// set up, so the built-in agent's key stands in for it.
std::uint8_t AgentKey(std::int32_t agentIndex);

// The scrambled forms the key search works on. A container holds the chained form; raw files of
// the four classic sizes hold the raw-file form.
enum class ScrambledForm : std::uint8_t { Chained, RawFile };

// The first plain byte of an image whose first stored byte is `firstStored`, decoded with `key`.
// It depends on nothing else, so a key test never needs more than this byte.
std::uint8_t FirstPlainByte(ScrambledForm form, std::uint8_t firstStored, std::uint8_t key);

// Whether a first plain byte marks the right key: 0xC8 and 0x00 always, 0xFF (erased flash) only
// when `acceptErased`.
constexpr bool PassesKeyTest(std::uint8_t firstPlain, bool acceptErased) {
    return firstPlain == 0xC8 || firstPlain == 0x00 || (acceptErased && firstPlain == 0xFF);
}

struct AgentSearchResult {
    std::int32_t agentIndex = 0;  // the agent whose key the image is decoded with
    bool passed = false;          // false: no key passed and the current agent stands
};

// Tries the current agent's key, then agents 0, 3, 1 and 7, and takes the first that passes.
// The first trial of a chained (container) image does not take 0xFF, so a container that looks
// like erased flash under the current key still has the other agents tried; the raw-file form
// takes 0xFF on every trial. With no pass the current agent stays.
AgentSearchResult SearchAgentKey(ScrambledForm form, std::uint8_t firstStored,
                                 std::int32_t currentAgent);

// Chained form: every byte is the plain byte XOR PairSwap of the plain byte before it, the key
// standing in for the byte before the first. Both work in place.
void DecodeChainedImage(std::span<std::uint8_t> image, std::uint8_t key);
void EncodeChainedImage(std::span<std::uint8_t> image, std::uint8_t key);
// Sum modulo 2^32 of the plain bytes behind a chained image, without decoding it.
std::uint32_t ChainedPlainSum(std::span<const std::uint8_t> chained, std::uint8_t key);

// Raw-file form: a running value starts at the key and takes every stored byte in by XOR; the
// plain byte is PairReverse of the running value. Both work in place.
void DecodeRawFileImage(std::span<std::uint8_t> image, std::uint8_t key);
void EncodeRawFileImage(std::span<std::uint8_t> image, std::uint8_t key);

// Raw-file form straight to chained form with the same key, in one pass and in place.
void RawFileToChained(std::span<std::uint8_t> image, std::uint8_t key);

// Finds the key of a raw-file-form image (SearchAgentKey with the raw-file rule) and converts
// the image in place to chained form with it. The caller makes the result the current agent.
AgentSearchResult TranscodeRawImage(std::span<std::uint8_t> image, std::int32_t currentAgent);

}  // namespace qdm
