#pragma once
// File operations and Intel HEX reading used by the firmware loader, the ROM loading and the
// dump files.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qdm {

// Size of the file in bytes, or -1 when it cannot be opened for reading or is no regular file.
std::int64_t FileSizeOf(const std::filesystem::path& fileName);

// Reads up to `buffer.size()` bytes from the start of the file into `buffer` and returns the
// number of bytes actually read (0 when the file cannot be opened or is no regular file). A count
// below the one asked for is a failure for every caller.
std::size_t ReadFileInto(const std::filesystem::path& fileName, std::span<std::uint8_t> buffer);

// Gives the file the contents `buffer`: written beside it under a unique name, then renamed over
// it (ReplaceWithNewFile), so a link there is replaced, never written through. Returns whether that
// worked; `why` (when given) then receives the reason.
bool WriteFileFrom(std::span<const std::uint8_t> buffer, const std::filesystem::path& fileName,
                   std::string* why = nullptr);

// Directory of the running executable (with no trailing separator); the current directory when
// the host cannot tell.
std::filesystem::path ExecutableDirectory();

// The programs' folder in the user's data directory: $XDG_DATA_HOME/qdm-writer, else
// ~/.local/share/qdm-writer, on Linux and other Unix hosts; %LOCALAPPDATA%\qdm-writer on Windows.
// Empty when the environment names no home. Not created here.
std::filesystem::path UserDataDirectory();

// The package's read-only data folders, most specific first: share/qdm-writer beside the
// program's bin folder (so a relocated install still finds its data), then the one of the
// install prefix the programs were built for. None on Windows, where data sits beside the
// program.
std::vector<std::filesystem::path> PackageDataDirectories();

// Whether `folder` holds an installed program: the package's data folder share/qdm-writer lies
// beside it (the package puts a file there; a build folder has none).
bool IsInstalledProgramFolder(const std::filesystem::path& folder);

// Whether new files can be made in `directory` (an existing folder).
bool IsWritableDirectory(const std::filesystem::path& directory);

// Exchanges the two nibbles of every byte, in place. The firmware file stores its text so.
void ExchangeNibbles(std::span<std::uint8_t> bytes);

// 0..15 for a hexadecimal digit of either case, 0 for any other character.
std::uint8_t HexDigitValue(char c);
bool IsHexDigit(char c);

// The line starting at `position`, up to (not including) the next CR LF or the end of the text.
// `position` moves past the CR LF, ending 2 beyond the text's length after its last line. A lone
// CR or LF is an ordinary character.
std::string_view NextTextLine(std::span<const std::uint8_t> text, std::size_t& position);

inline constexpr std::size_t kMaxRecordLine = 512;
inline constexpr std::size_t kRecordDataCapacity = 512;
inline constexpr std::size_t kDiagnosticImageSize = 16384;

struct HexRecord {
    std::uint8_t count = 0;
    std::uint16_t address = 0;
    std::uint8_t type = 0;  // hexadecimal value of characters 7-8
    bool data = false;      // characters 7-8 are "00"
};

// Parses the record header and, for a data record (type "00"), its data bytes into `data`.
// False when the line does not start with ':', is longer than kMaxRecordLine or is too short
// for its header and data; the outputs are then not written. The checksum is not examined.
bool DecodeRecord(std::string_view line, std::span<std::uint8_t, kRecordDataCapacity> data,
                  HexRecord& record);

// As DecodeRecord, storing a data record's bytes at image[address + i]; bytes that would land
// at index 16384 or beyond are dropped.
bool DecodeRecordToImage(std::string_view line,
                         std::span<std::uint8_t, kDiagnosticImageSize> image);

}  // namespace qdm
