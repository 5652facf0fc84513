#pragma once
// The program's file version as the About box reads it back from the executable file.
//
// Windows builds carry a real version resource. Other builds embed a version block in the
// executable: a 16-byte marker, the payload's length and FNV-1a checksum (32 bits each, little
// endian), then named values that mirror the resource's lookups, so the reading follows the same
// steps on every host:
//   "\VarFileInfo\Translation"               4 bytes: language ID, then code page (16 bits each)
//   "\StringFileInfo\040904E4\FileVersion"  the version text
// Each value is stored as name length (16 bits), name, value length (16 bits), value. The block
// is found by scanning the file; a marker not followed by a well-formed block is passed over.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qdm {

inline constexpr std::size_t kVersionBufferSize = 64;
inline constexpr std::uint8_t kVersionFiller = 0xAA;
inline constexpr std::size_t kVersionMarkerSize = 16;
inline constexpr std::size_t kMaxVersionPayload = 0x10000;
inline constexpr std::string_view kTranslationName = "\\VarFileInfo\\Translation";
// U.S. English, Windows Latin-1: the pair every version block of this program names.
inline constexpr std::uint16_t kVersionLanguage = 0x0409;
inline constexpr std::uint16_t kVersionCodePage = 0x04E4;

// Copies the file's FileVersion text into `buffer`: at most buffer.size() - 1 characters, the
// rest of those bytes zeroed; the buffer's last byte is never written. Writes nothing when the
// file has no version data, no translation entry or no FileVersion value.
void ReadFileVersion(const std::filesystem::path& file, std::span<std::uint8_t> buffer);

// "\StringFileInfo\%04X%04X\FileVersion" for a language ID and a code page.
std::string FileVersionName(std::uint16_t language, std::uint16_t codePage);

// The payload of the first well-formed version block in the file; nullopt when there is none.
std::optional<std::vector<std::uint8_t>> FindVersionBlock(const std::filesystem::path& file);

// The value stored under `name` in a payload; nullopt when it has none.
std::optional<std::vector<std::uint8_t>> LookUpVersionValue(std::span<const std::uint8_t> payload,
                                                            std::string_view name);

struct VersionValue {
    std::string_view name;
    std::string_view value;
};

namespace version_block {

// The marker is kept inverted in code, so the reader itself never carries the plain marker and
// cannot be mistaken for a block.
constexpr std::array<std::uint8_t, kVersionMarkerSize> InvertedMarker() {
    constexpr std::string_view plain = "QDM-VERSION-BLK1";
    std::array<std::uint8_t, kVersionMarkerSize> inverted{};
    for (std::size_t i = 0; i < kVersionMarkerSize; ++i)
        inverted[i] = static_cast<std::uint8_t>(~static_cast<unsigned char>(plain[i]));
    return inverted;
}

constexpr std::uint32_t Fnv1a(std::span<const std::uint8_t> bytes) {
    std::uint32_t hash = 2166136261u;
    for (const std::uint8_t b : bytes) {
        hash ^= b;
        hash *= 16777619u;
    }
    return hash;
}

constexpr void Put16(std::vector<std::uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

constexpr void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

constexpr void PutText(std::vector<std::uint8_t>& out, std::string_view text) {
    Put16(out, text.size());
    for (const char c : text)
        out.push_back(static_cast<std::uint8_t>(c));
}

}  // namespace version_block

// A whole block (marker, length, checksum, payload) holding `values`, names and values of at
// most 65535 bytes each. Usable at compile time, so the build embeds its result as a constant.
constexpr std::vector<std::uint8_t> EncodeVersionBlock(std::span<const VersionValue> values) {
    std::vector<std::uint8_t> payload;
    for (const VersionValue& v : values) {
        version_block::PutText(payload, v.name);
        version_block::PutText(payload, v.value);
    }
    std::vector<std::uint8_t> block;
    for (const std::uint8_t b : version_block::InvertedMarker())
        block.push_back(static_cast<std::uint8_t>(~b));
    version_block::Put32(block, static_cast<std::uint32_t>(payload.size()));
    version_block::Put32(block, version_block::Fnv1a(payload));
    block.insert(block.end(), payload.begin(), payload.end());
    return block;
}

// The block of a program whose FileVersion is `fileVersion`, under the usual translation.
constexpr std::vector<std::uint8_t> ProgramVersionBlock(std::string_view fileVersion) {
    constexpr char translation[4] = {
        static_cast<char>(kVersionLanguage & 0xFF), static_cast<char>(kVersionLanguage >> 8),
        static_cast<char>(kVersionCodePage & 0xFF), static_cast<char>(kVersionCodePage >> 8)};
    const std::array<VersionValue, 2> values = {{
        {kTranslationName, std::string_view(translation, 4)},
        {"\\StringFileInfo\\040904E4\\FileVersion", fileVersion},
    }};
    return EncodeVersionBlock(values);
}

}  // namespace qdm
