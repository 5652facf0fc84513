#include "cli/ReportArchive.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

namespace qdm::cli {

namespace {

constexpr std::size_t kBlock = 512;
constexpr std::uint64_t kLargestMember = 077777777777ULL;  // 11 octal digits

// `value` as `width - 1` octal digits and a NUL, as ustar's numeric fields are.
void PutOctal(std::span<std::uint8_t> field, std::uint64_t value) {
    const std::size_t digits = field.size() - 1;
    for (std::size_t i = digits; i-- > 0;) {
        field[i] = static_cast<std::uint8_t>('0' + (value & 7));
        value >>= 3;
    }
    field[digits] = 0;
}

void PutText(std::span<std::uint8_t> field, std::string_view text) {
    std::copy_n(text.begin(), std::min(text.size(), field.size()), field.begin());
}

std::array<std::uint8_t, kBlock> Header(const ArchiveMember& member, std::time_t modified) {
    std::array<std::uint8_t, kBlock> h{};
    const std::span<std::uint8_t> b(h);
    PutText(b.subspan(0, 100), member.name);
    PutOctal(b.subspan(100, 8), 0644);
    PutOctal(b.subspan(108, 8), 0);
    PutOctal(b.subspan(116, 8), 0);
    PutOctal(b.subspan(124, 12), member.bytes.size());
    PutOctal(b.subspan(136, 12), static_cast<std::uint64_t>(std::max<std::time_t>(modified, 0)));
    b[156] = '0';
    PutText(b.subspan(257, 6), std::string_view("ustar\0", 6));
    PutText(b.subspan(263, 2), "00");
    PutText(b.subspan(265, 32), "qdm-writer");
    PutText(b.subspan(297, 32), "qdm-writer");
    // The checksum is summed with its own field taken as blanks.
    std::fill_n(b.begin() + 148, 8, static_cast<std::uint8_t>(' '));
    unsigned sum = 0;
    for (const std::uint8_t c : h)
        sum += c;
    PutOctal(b.subspan(148, 7), sum);
    b[155] = ' ';
    return h;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> TarArchive(std::span<const ArchiveMember> members,
                                                    std::time_t modified, std::string& error) {
    std::size_t total = 2 * kBlock;
    for (const ArchiveMember& member : members) {
        if (member.name.empty() || member.name.size() > 100) {
            error = "the archive cannot hold the name " + member.name;
            return std::nullopt;
        }
        if (member.bytes.size() > kLargestMember) {
            error = member.name + " is too large for the archive";
            return std::nullopt;
        }
        total += kBlock + (member.bytes.size() + kBlock - 1) / kBlock * kBlock;
    }
    std::vector<std::uint8_t> tar;
    tar.reserve(total);
    for (const ArchiveMember& member : members) {
        const auto header = Header(member, modified);
        tar.insert(tar.end(), header.begin(), header.end());
        tar.insert(tar.end(), member.bytes.begin(), member.bytes.end());
        tar.resize(tar.size() + (kBlock - member.bytes.size() % kBlock) % kBlock, 0);
    }
    tar.resize(total, 0);  // two zero blocks end the archive
    return tar;
}

std::optional<std::vector<std::uint8_t>> Gzip(std::span<const std::uint8_t> bytes,
                                              std::string& error) {
    z_stream stream{};
    // 15 window bits, plus 16 for the gzip wrapper instead of zlib's.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        error = "cannot start the compressor";
        return std::nullopt;
    }
    std::vector<std::uint8_t> out(deflateBound(&stream, static_cast<uLong>(bytes.size())));
    // zlib's sizes are 32 bits wide: large inputs go in slices.
    constexpr std::size_t kSlice = std::numeric_limits<uInt>::max() / 2;
    std::size_t in = 0;
    int result = Z_OK;
    while (result == Z_OK) {
        const std::size_t slice = std::min(bytes.size() - in, kSlice);
        // zlib reads through a non-const pointer but never writes the input.
        stream.next_in = const_cast<Bytef*>(bytes.data() + in);  // NOLINT
        stream.avail_in = static_cast<uInt>(slice);
        if (stream.total_out >= out.size()) out.resize(out.size() * 2 + kBlock);
        stream.next_out = out.data() + stream.total_out;
        stream.avail_out =
            static_cast<uInt>(std::min<std::size_t>(out.size() - stream.total_out, kSlice));
        const bool last = in + slice == bytes.size();
        result = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
        in += slice - stream.avail_in;
        if (result == Z_BUF_ERROR) result = Z_OK;  // no progress possible without more room
    }
    const uLong written = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        error = "the compressor failed";
        return std::nullopt;
    }
    out.resize(written);
    return out;
}

}  // namespace qdm::cli
