#include "protocol/BoardSupport.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "usb/Fileiofunctions.h"

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
// Gives `file` exactly the contents `bytes`, as WriteFileFrom does, but writes an existing file
// over and then cuts it to length instead of truncating it first: truncating a file whose last
// contents are still on their way to the disk makes file systems such as ext4 flush them at
// once, and every run replaces the same dump files, which cost a K3.r8 download more wall time
// than its whole USB traffic would.
void ReplaceContents(std::span<const std::uint8_t> bytes, const std::filesystem::path& file) {
    // Opening for reading and writing fails where there is no file yet; that one is created.
    std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
    if (!out.is_open()) {
        WriteFileFrom(bytes, file);
        return;
    }
    out.seekg(0, std::ios::end);
    const std::streamoff before = out.tellg();
    out.seekp(0);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (before > static_cast<std::streamoff>(bytes.size())) {
        std::error_code ignored;
        std::filesystem::resize_file(file, bytes.size(), ignored);
    }
}
}  // namespace

void WriteDumpFile(std::span<const std::uint8_t> bytes, std::string_view name) {
    if (State().DumpFilesEnabled == 0) return;
    ReplaceContents(bytes, DumpDirectory() / std::string(name));
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
