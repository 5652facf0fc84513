#pragma once
// Names and files of the command line: chip types and agents by name, whole input files with a
// size bound, output files that appear only once written whole, and never over their input.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qdm::cli {

// The row of a chip type name, in any case.
std::optional<int> ChipTypeIndex(const std::string& name);

// An agent by its name (any case) or its index 0-9.
std::optional<std::int32_t> AgentIndexByName(const std::string& name);

// The agents' names, for messages.
std::string AgentNameList();

// Reads a regular file of at most `maxBytes` whole, without ever blocking on a FIFO or device.
// False, with `error` naming the file and why, otherwise.
bool ReadInputFile(const std::filesystem::path& file, std::size_t maxBytes,
                   std::vector<std::uint8_t>& bytes, std::string& error);

// Writes `bytes` to a new file of a unique name beside `file`, made exclusively, and renames it
// over `file`, so a failed write leaves no half file and an existing one untouched, and a link at
// `file` is replaced, never written through. False, with `error`, on failure.
bool WriteOutputFile(const std::filesystem::path& file, std::span<const std::uint8_t> bytes,
                     std::string& error);

// Why `output` may not be written: it is `input`, also through a link or a second name.
std::optional<std::string> OutputOverInput(const std::filesystem::path& input,
                                           const std::filesystem::path& output);

}  // namespace qdm::cli
