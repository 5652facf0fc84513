#include "app/FileVersion.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qdm {

namespace {

constexpr std::size_t kScanChunk = 1 << 20;

// StrLCopy into the first size - 1 bytes, zero-filled behind the text.
void CopyVersionText(std::string_view value, std::span<std::uint8_t> buffer) {
    if (buffer.empty()) return;
    const std::size_t room = buffer.size() - 1;
    const std::size_t text = std::min(value.find('\0'), std::min(value.size(), room));
    for (std::size_t i = 0; i < room; ++i)
        buffer[i] = i < text ? static_cast<std::uint8_t>(value[i]) : std::uint8_t{0};
}

std::uint32_t Get32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::size_t Get16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::size_t>(bytes[at]) | static_cast<std::size_t>(bytes[at + 1]) << 8;
}

// Walks the payload's values; false when one runs past the end.
template <class Visit>
bool ForEachValue(std::span<const std::uint8_t> payload, Visit visit) {
    std::size_t at = 0;
    while (at < payload.size()) {
        if (payload.size() - at < 2) return false;
        const std::size_t nameLength = Get16(payload, at);
        at += 2;
        if (payload.size() - at < nameLength + 2) return false;
        const auto name = payload.subspan(at, nameLength);
        at += nameLength;
        const std::size_t valueLength = Get16(payload, at);
        at += 2;
        if (payload.size() - at < valueLength) return false;
        if (visit(name, payload.subspan(at, valueLength))) return true;
        at += valueLength;
    }
    return true;
}

// The payload of a block whose marker starts at `offset`, when the block is whole and sound.
std::optional<std::vector<std::uint8_t>> BlockAt(const std::filesystem::path& file,
                                                 std::uint64_t offset) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset + kVersionMarkerSize));
    std::array<std::uint8_t, 8> header{};
    in.read(reinterpret_cast<char*>(header.data()), header.size());
    if (!in) return std::nullopt;
    const std::uint32_t length = Get32(header, 0);
    const std::uint32_t checksum = Get32(header, 4);
    if (length == 0 || length > kMaxVersionPayload) return std::nullopt;
    std::vector<std::uint8_t> payload(length);
    in.read(reinterpret_cast<char*>(payload.data()), static_cast<std::streamsize>(length));
    if (!in || version_block::Fnv1a(payload) != checksum) return std::nullopt;
    if (!ForEachValue(payload, [](auto, auto) { return false; })) return std::nullopt;
    return payload;
}

}  // namespace

std::string FileVersionName(std::uint16_t language, std::uint16_t codePage) {
    char name[48];
    std::snprintf(name, sizeof name, "\\StringFileInfo\\%04X%04X\\FileVersion",
                  static_cast<unsigned>(language), static_cast<unsigned>(codePage));
    return name;
}

std::optional<std::vector<std::uint8_t>> FindVersionBlock(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::array<std::uint8_t, kVersionMarkerSize> marker{};
    // Evaluated by the compiler, so the plain marker text never lands in this program's file.
    static constexpr auto inverted = version_block::InvertedMarker();
    std::transform(inverted.begin(), inverted.end(), marker.begin(),
                   [](std::uint8_t b) { return static_cast<std::uint8_t>(~b); });

    // A marker may straddle two chunks: the tail of one is scanned again with the next.
    std::vector<std::uint8_t> window;
    std::uint64_t windowStart = 0;
    std::vector<std::uint8_t> chunk(kScanChunk);
    while (in) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        window.insert(window.end(), chunk.begin(),
                      chunk.begin() + static_cast<std::ptrdiff_t>(got));
        auto from = window.begin();
        while (true) {
            const auto hit = std::search(from, window.end(), marker.begin(), marker.end());
            if (hit == window.end()) break;
            const auto at = static_cast<std::uint64_t>(hit - window.begin());
            if (auto payload = BlockAt(file, windowStart + at)) return payload;
            from = hit + 1;
        }
        const std::size_t keep = std::min(window.size(), kVersionMarkerSize - 1);
        windowStart += window.size() - keep;
        window.erase(window.begin(), window.end() - static_cast<std::ptrdiff_t>(keep));
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> LookUpVersionValue(std::span<const std::uint8_t> payload,
                                                            std::string_view name) {
    std::optional<std::vector<std::uint8_t>> found;
    ForEachValue(payload, [&](std::span<const std::uint8_t> n, std::span<const std::uint8_t> v) {
        if (!std::equal(n.begin(), n.end(), name.begin(), name.end(),
                        [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }))
            return false;
        found.emplace(v.begin(), v.end());
        return true;
    });
    return found;
}

#if defined(_WIN32)

void ReadFileVersion(const std::filesystem::path& file, std::span<std::uint8_t> buffer) {
    const std::string name = file.string();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(name.c_str(), &handle);
    if (size == 0) return;
    std::vector<std::uint8_t> block(size, 0);
    if (!GetFileVersionInfoA(name.c_str(), 0, size, block.data())) return;
    void* translation = nullptr;
    UINT translationLength = 0;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &translation,
                        &translationLength) ||
        translationLength < 4)
        return;
    DWORD pair = 0;
    std::memcpy(&pair, translation, sizeof pair);
    const std::string valueName = FileVersionName(static_cast<std::uint16_t>(pair & 0xFFFF),
                                                  static_cast<std::uint16_t>(pair >> 16));
    void* value = nullptr;
    UINT valueLength = 0;
    if (!VerQueryValueA(block.data(), valueName.c_str(), &value, &valueLength) || value == nullptr)
        return;
    CopyVersionText(std::string_view(static_cast<const char*>(value), valueLength), buffer);
}

#else

void ReadFileVersion(const std::filesystem::path& file, std::span<std::uint8_t> buffer) {
    const auto payload = FindVersionBlock(file);
    if (!payload) return;
    const auto translation = LookUpVersionValue(*payload, kTranslationName);
    if (!translation || translation->size() < 4) return;
    const std::uint32_t pair = Get32(*translation, 0);
    const auto value =
        LookUpVersionValue(*payload, FileVersionName(static_cast<std::uint16_t>(pair & 0xFFFF),
                                                     static_cast<std::uint16_t>(pair >> 16)));
    if (!value) return;
    CopyVersionText(std::string_view(reinterpret_cast<const char*>(value->data()), value->size()),
                    buffer);
}

#endif

}  // namespace qdm
