#pragma once
// The FileVersion text of an executable's version resource, read the way the About box reads
// it. Qt-free, so the window and the tests share it.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace qdm {

// Copies the FileVersion value under the file's first translation into `buffer`: at most
// buffer.size() - 1 characters, the rest of those bytes set to zero; the buffer's last byte is
// never written. Writes nothing when the file has no version resource, no translation or no
// FileVersion value (the caller pre-fills the buffer and sees its filler then).
// On Windows this is the system's version resource. Other hosts have none of that kind: there
// the window's build decides where its version comes from.
void ReadFileVersion(const std::filesystem::path& file, std::span<char> buffer);

// "\StringFileInfo\LLLLCCCC\FileVersion" for a translation entry: language ID in the low 16
// bits, code page in the high 16 bits, each as four upper-case hexadecimal digits.
std::string FileVersionKey(std::uint32_t translation);

// The copy rule of ReadFileVersion, for a value found.
void CopyFileVersion(std::string_view value, std::span<char> buffer);

}  // namespace qdm
