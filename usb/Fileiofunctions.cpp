#include "usb/Fileiofunctions.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include <cstdlib>

#include "state/SafeFile.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qdm {

std::int64_t FileSizeOf(const std::filesystem::path& fileName) {
    std::uint64_t size = 0;
    if (!RegularFileSize(fileName, size)) return -1;
    return static_cast<std::int64_t>(size);
}

std::size_t ReadFileInto(const std::filesystem::path& fileName, std::span<std::uint8_t> buffer) {
    // Opening a FIFO or a device for reading could block for ever.
    if (FileSizeOf(fileName) < 0) return 0;
    std::ifstream file(fileName, std::ios::binary);
    if (!file) return 0;
    file.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    return static_cast<std::size_t>(file.gcount());
}

bool WriteFileFrom(std::span<const std::uint8_t> buffer, const std::filesystem::path& fileName,
                   std::string* why) {
    const FileOutcome written = ReplaceWithNewFile(fileName, buffer);
    if (!written && why != nullptr) *why = written.Reason();
    return static_cast<bool>(written);
}

std::filesystem::path ExecutableDirectory() {
    std::error_code ec;
#if defined(_WIN32)
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n > 0 && n < path.size()) {
        path.resize(n);
        return std::filesystem::path(path).parent_path();
    }
#else
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return self.parent_path();
#endif
    return std::filesystem::current_path(ec);
}

namespace {
constexpr const char* kProgramFolder = "qdm-writer";

// An environment variable's value; empty when unset.
std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}
}  // namespace

std::filesystem::path UserDataDirectory() {
#if defined(_WIN32)
    const std::string local = Environment("LOCALAPPDATA");
    if (local.empty()) return {};
    return std::filesystem::path(local) / kProgramFolder;
#else
    // A relative XDG_DATA_HOME is invalid and must be ignored.
    const std::filesystem::path xdg = Environment("XDG_DATA_HOME");
    if (!xdg.empty() && xdg.is_absolute()) return xdg / kProgramFolder;
    const std::filesystem::path home = Environment("HOME");
    if (home.empty()) return {};
    return home / ".local" / "share" / kProgramFolder;
#endif
}

std::vector<std::filesystem::path> PackageDataDirectories() {
    std::vector<std::filesystem::path> folders;
#if !defined(_WIN32)
    folders.push_back(
        (ExecutableDirectory().parent_path() / "share" / kProgramFolder).lexically_normal());
#if defined(QDM_DATA_DIR)
    const std::filesystem::path prefixData = std::filesystem::path(QDM_DATA_DIR).lexically_normal();
    if (prefixData != folders.front()) folders.push_back(prefixData);
#endif
#endif
    return folders;
}

bool IsInstalledProgramFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    return std::filesystem::is_directory(folder.parent_path() / "share" / kProgramFolder, ec);
}

bool IsWritableDirectory(const std::filesystem::path& directory) {
    std::error_code ec;
    if (!std::filesystem::is_directory(directory, ec)) return false;
#if defined(_WIN32)
    // Access rights on Windows are ACLs that only an attempt tells.
    const std::filesystem::path probe = directory / ".qdm-writer-probe";
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
#else
    // access() also answers for read-only mounts and ACLs.
    return access(directory.c_str(), W_OK | X_OK) == 0;
#endif
}

void ExchangeNibbles(std::span<std::uint8_t> bytes) {
    for (std::uint8_t& b : bytes)
        b = static_cast<std::uint8_t>((b >> 4) | (b << 4));
}

std::uint8_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    return 0;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::string_view NextTextLine(std::span<const std::uint8_t> text, std::size_t& position) {
    const std::size_t start = std::min(position, text.size());
    std::size_t end = start;
    while (end < text.size() &&
           !(text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n'))
        ++end;
    position = end + 2;
    return {reinterpret_cast<const char*>(text.data()) + start, end - start};
}

namespace {

std::uint8_t ByteAt(std::string_view line, std::size_t at) {
    return static_cast<std::uint8_t>(HexDigitValue(line[at]) << 4 | HexDigitValue(line[at + 1]));
}

// Header fields of a record line, or false when the line cannot be one.
bool ParseHeader(std::string_view line, HexRecord& record) {
    constexpr std::size_t kHeaderChars = 9;  // ':' LL AAAA TT
    if (line.empty() || line[0] != ':' || line.size() < kHeaderChars ||
        line.size() > kMaxRecordLine)
        return false;
    record.count = ByteAt(line, 1);
    record.address = static_cast<std::uint16_t>(ByteAt(line, 3) << 8 | ByteAt(line, 5));
    record.type = ByteAt(line, 7);
    record.data = line[7] == '0' && line[8] == '0';
    return !record.data || line.size() >= kHeaderChars + std::size_t{2} * record.count;
}

}  // namespace

bool DecodeRecord(std::string_view line, std::span<std::uint8_t, kRecordDataCapacity> data,
                  HexRecord& record) {
    HexRecord parsed;
    if (!ParseHeader(line, parsed)) return false;
    record = parsed;
    if (parsed.data) {
        for (std::size_t i = 0; i < parsed.count; ++i)
            data[i] = ByteAt(line, 9 + 2 * i);
    }
    return true;
}

bool DecodeRecordToImage(std::string_view line,
                         std::span<std::uint8_t, kDiagnosticImageSize> image) {
    HexRecord record;
    if (!ParseHeader(line, record)) return false;
    if (record.data) {
        for (std::size_t i = 0; i < record.count; ++i) {
            const std::size_t at = std::size_t{record.address} + i;
            if (at < image.size()) image[at] = ByteAt(line, 9 + 2 * i);
        }
    }
    return true;
}

}  // namespace qdm
