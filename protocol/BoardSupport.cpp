#include "protocol/BoardSupport.h"

#include <filesystem>
#include <string>

#include "state/SafeFile.h"

namespace qdm::board {

std::uint8_t ProgressOf(std::uint64_t done, std::uint64_t total) {
    if (total == 0) return 0;
    return static_cast<std::uint8_t>(done * 128 / total);
}

void AlternateProgressText(std::string_view threeDots, std::string_view twoDots) {
    std::string& text = State().ProgressText;
    text = text == threeDots ? twoDots : threeDots;
}

bool HoldsUnits(std::size_t size, std::uint32_t units) {
    return std::uint64_t{units} * kImageUnit <= size;
}

namespace {
// Gives `file` exactly the contents `bytes`, but writes an existing file over and then cuts it to
// length instead of replacing or truncating it: either makes file systems such as ext4 flush the
// file's last contents at once, and every run writes the same dump files, which cost a K3.r8
// download more wall time than its whole USB traffic would. Never through a link, never into a
// FIFO, a device or a file with a second name.
void ReplaceContents(std::span<const std::uint8_t> bytes, const std::filesystem::path& file) {
    OutputFile out;
    if (!out.Open(file, OutputMode::Overwrite)) return;
    const std::uint64_t before = out.Size();
    if (out.WriteAt(0, bytes) && before > bytes.size()) (void)out.Truncate(bytes.size());
}
}  // namespace

void WriteDumpFile(std::span<const std::uint8_t> bytes, std::string_view name) {
    if (State().DumpFilesEnabled == 0) return;
    const std::filesystem::path folder = DumpDirectory();
    if (!folder.empty()) ReplaceContents(bytes, folder / std::string(name));
}

bool ProgramImageBatches(PageBoard board, std::span<const std::uint8_t> image, std::uint32_t units,
                         std::string_view threeDots, std::string_view twoDots) {
    if (!HoldsUnits(image.size(), units)) return false;
    CommandList list(kLongListCapacity);
    std::array<std::uint8_t, kPagesPerBatch + 1> reply{};
    const std::uint64_t batches = std::uint64_t{units} * kBatchesPerUnit;
    std::size_t position = 0;
    for (std::uint64_t batch = 0; batch < batches; ++batch) {
        for (std::size_t g = 0; g < kPagesPerBatch; ++g, position += kPageSize)
            list.AppendPageGroup(board, static_cast<std::uint32_t>(position),
                                 PageAt(image, position));
        list.OP_ACK();
        list.OP_END_GROUP();
        const bool sent = Exchange(list, reply);
        AlternateProgressText(threeDots, twoDots);
        State().ProgressValue = ProgressOf(batch, batches);
        PumpMessages();
        if (!sent) return false;
    }
    return true;
}

bool ProgramOnePage(PageBoard board, std::span<const std::uint8_t, kPageSize> page,
                    std::uint32_t pageIndex, std::string_view text) {
    State().ProgressText = text;
    CommandList list;
    // Only the low 24 address bits travel, so the top page index lands at FF FF 00.
    list.AppendPageGroup(board, pageIndex * static_cast<std::uint32_t>(kPageSize), page);
    list.OP_ACK();
    list.OP_END_GROUP();
    std::array<std::uint8_t, 2> reply{};
    const bool sent = Exchange(list, reply);
    ResetDonglePort();
    return sent;
}

bool ExchangeAcknowledged(CommandList& list) {
    list.OP_ACK();
    list.OP_END_GROUP();
    std::array<std::uint8_t, 1> reply{};
    return Exchange(list, reply);
}

bool SendErase(CommandList& list, std::string_view text) {
    State().ProgressText = text;
    PumpMessages();
    std::array<std::uint8_t, 2> reply{};
    // An erase whose answer never came has not been seen to succeed: the cleared reply would
    // otherwise read as success.
    const bool answered = Exchange(list, reply);
    ResetDonglePort();
    return answered && reply[1] == 0;
}

}  // namespace qdm::board
