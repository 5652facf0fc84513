#pragma once
// What a download would otherwise do to an image without a word, found before it starts.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "workflows/DownloadWorkflow.h"

namespace qdm::cli {

// Warnings about the ROM file a download is given (`bytes`, as read) with --chip (a row of the
// chip table) and its options: no agent's key decodes the image, the image is larger than the
// chip type it is programmed as, the container's header overrides --chip or names another chip
// code. None for bytes that are no image: the run itself reports that.
std::vector<std::string> ImageWarnings(const std::string& file, std::vector<std::uint8_t> bytes,
                                       std::optional<int> chip, const DownloadOptions& options);

}  // namespace qdm::cli
