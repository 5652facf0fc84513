// The program's version block, embedded in the executable for the About box to read back from
// the file (Windows builds carry a version resource instead).

#include <algorithm>
#include <array>

#include "app/FileVersion.h"

namespace {
constexpr std::size_t kBlockSize = qdm::ProgramVersionBlock(QDM_VERSION).size();

constexpr std::array<std::uint8_t, kBlockSize> Block() {
    std::array<std::uint8_t, kBlockSize> block{};
    const std::vector<std::uint8_t> bytes = qdm::ProgramVersionBlock(QDM_VERSION);
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}
}  // namespace

// Nothing refers to it: it is found in the file. External linkage keeps the compiler from
// dropping it, and the object file is linked whole into the program.
extern const std::array<std::uint8_t, kBlockSize> qdmEmbeddedVersionBlock;
const std::array<std::uint8_t, kBlockSize> qdmEmbeddedVersionBlock = Block();
