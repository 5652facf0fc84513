#include "app/FileVersion.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qdm {

std::string FileVersionKey(std::uint32_t translation) {
    char key[64];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\%04X%04X\\FileVersion",
                  static_cast<unsigned>(translation & 0xFFFF),
                  static_cast<unsigned>(translation >> 16));
    return key;
}

void CopyFileVersion(std::string_view value, std::span<char> buffer) {
    if (buffer.empty()) return;
    const std::span<char> room = buffer.first(buffer.size() - 1);
    const std::size_t n = std::min(value.size(), room.size());
    std::copy_n(value.begin(), n, room.begin());
    std::fill(room.begin() + static_cast<std::ptrdiff_t>(n), room.end(), '\0');
}

#if defined(_WIN32)

namespace {

// The value's text in the ANSI code page, as the program's texts are.
std::string Narrow(const wchar_t* text, std::size_t length) {
    if (length == 0) return {};
    const int wide = static_cast<int>(length);
    const int n = WideCharToMultiByte(CP_ACP, 0, text, wide, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string narrow(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, wide, narrow.data(), n, nullptr, nullptr);
    return narrow;
}

}  // namespace

void ReadFileVersion(const std::filesystem::path& file, std::span<char> buffer) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
    if (size == 0) return;
    std::vector<std::uint8_t> block(size, 0);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return;

    void* translations = nullptr;
    UINT translationBytes = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translations,
                        &translationBytes) ||
        translations == nullptr || translationBytes < 4)
        return;
    std::uint32_t first = 0;
    std::memcpy(&first, translations, sizeof first);

    const std::string key = FileVersionKey(first);
    const std::wstring wideKey(key.begin(), key.end());
    void* value = nullptr;
    UINT characters = 0;
    if (!VerQueryValueW(block.data(), wideKey.c_str(), &value, &characters) || value == nullptr)
        return;
    // The count includes the terminating zero when there is one.
    const auto* text = static_cast<const wchar_t*>(value);
    std::size_t length = 0;
    while (length < characters && text[length] != L'\0')
        ++length;
    CopyFileVersion(Narrow(text, length), buffer);
}

#else

void ReadFileVersion(const std::filesystem::path&, std::span<char>) {}

#endif

}  // namespace qdm
