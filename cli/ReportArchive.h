#pragma once
// A field report's archive: a ustar tar of a few files, gzip-compressed, made in memory (a report
// holds logs and a trace of one run: megabytes, not more).

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qdm::cli {

struct ArchiveMember {
    std::string name;  // path inside the archive, '/'-separated, at most 100 bytes
    std::vector<std::uint8_t> bytes;
};

// The members as a ustar archive, every file with mode 0644 and the time `modified`. Nullopt, with
// `error`, for a name the format cannot hold or a member past its 8 GiB.
std::optional<std::vector<std::uint8_t>> TarArchive(std::span<const ArchiveMember> members,
                                                    std::time_t modified, std::string& error);

// `bytes` as one gzip member. Nullopt, with `error`, when the compressor fails.
std::optional<std::vector<std::uint8_t>> Gzip(std::span<const std::uint8_t> bytes,
                                              std::string& error);

}  // namespace qdm::cli
