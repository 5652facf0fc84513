#pragma once
// What a run does with the board: the whole download, or one part of it on its own, as the
// quality checks of a chip programmer want them (verify against an image, read the flash back,
// blank check, erase). Each runs the download's own stages with the download's texts, on the
// boards whose stages allow it.

#include <cstdint>
#include <string_view>
#include <vector>

namespace qdm {

enum class BoardOperation { Download, Verify, Read, BlankCheck, Erase };

// "download", "verify", "read", "blank-check", "erase": the run log's and the command line's
// names.
std::string_view BoardOperationName(BoardOperation operation);

// The flash a read or a blank check covers when no image sets it: 16 units of 16 KiB from
// address 0, as large as the largest speech chip.
inline constexpr std::uint32_t kDefaultOperationUnits = 16;

// The data a read brings back: one buffer per flash chip, in chip order.
using FlashData = std::vector<std::vector<std::uint8_t>>;

struct OperationScope {
    BoardOperation operation = BoardOperation::Download;
    // Read and blank check: 16 KiB units from address 0.
    std::uint32_t units = kDefaultOperationUnits;
    // Read: where the data goes.
    FlashData* readBack = nullptr;
};

}  // namespace qdm
