#pragma once
// ROM files as the workflows see them: the "QDMROM" container ("RV24") and the bare raw image
// ("RV20"); preparing either into the chained form with its agent and checksum; loading a file
// for a download; the demoboard's plain image; and building files from a plain image.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qdm {

inline constexpr std::size_t kContainerHeaderSize = 16;
inline constexpr std::array<std::uint8_t, 8> kContainerMagic = {'Q', 'D', 'M',  'R',
                                                                'O', 'M', 0x01, 0x02};
inline constexpr std::size_t kMaxContainerPayload = 0xFFFFFF;  // 24-bit length field
inline constexpr std::size_t kMaxRomFileLength = kContainerHeaderSize + kMaxContainerPayload;
// The workflows program whole 16 KiB units, so an image ending inside one is followed by this
// much erased flash in its buffer.
inline constexpr std::size_t kImageSlack = 32768;
inline constexpr std::uint8_t kErasedByte = 0xFF;
// The checksum leaves out the last 64 bytes of an image; shorter images are refused.
inline constexpr std::size_t kChecksumTail = 64;
inline constexpr std::size_t kMinImageLength = kChecksumTail;
// Demoboard images beyond the largest raw-file size stay as they are.
inline constexpr std::size_t kLargestDemoboardDecode = 262144;
inline constexpr std::size_t kNamePatchOffset = 386;  // and the byte after it

enum class RomKind : std::uint8_t { Container, Raw };

// "RV24" for a container, "RV20" for a raw image, as the file label shows them.
std::string_view RomVersionText(RomKind kind);

enum class RomErrorCode : std::uint8_t {
    CannotOpen,
    FileTooLarge,
    ShortRead,
    ContainerLengthBeyondFile,
    ImageTooShort,
    NotEncodable,
    UnknownAgent,
};

struct RomError {
    RomErrorCode code = RomErrorCode::CannotOpen;
    std::string reason;  // one English sentence for the status line
};

// A value or the reason there is none.
template <class T>
class RomOutcome {
  public:
    RomOutcome(T value) : content_(std::move(value)) {}         // NOLINT: implicit by design
    RomOutcome(RomError error) : content_(std::move(error)) {}  // NOLINT: implicit by design

    [[nodiscard]] bool ok() const { return content_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    T& value() { return std::get<0>(content_); }
    const T& value() const { return std::get<0>(content_); }
    // Only when !ok().
    const RomError& error() const { return std::get<1>(content_); }

  private:
    std::variant<T, RomError> content_;
};

// Whether the file's first eight bytes are exactly "QDMROM" 01 02.
bool IsRomContainer(std::span<const std::uint8_t> file);

// The container's payload length L (header bytes 8-10, big-endian); 0 for any other file.
std::uint32_t GetContainerLength(std::span<const std::uint8_t> file);

// Raw files of exactly 32, 64, 128 or 256 KiB hold the raw-file form.
bool IsRawFileFormSize(std::size_t length);

// Sum modulo 2^32 of the plain image's bytes but the last 64; 0 for a shorter image.
std::uint32_t ImageChecksum(std::span<const std::uint8_t> plain);

// ImageChecksum of the plain image behind a chained one, without a working copy.
std::uint32_t ChainedImageChecksum(std::span<const std::uint8_t> chained, std::uint8_t key);

// The key of State().AgentIndex.
std::uint8_t CurrentAgentKey();

struct PreparedRom {
    RomKind kind = RomKind::Raw;
    std::size_t imageLength = 0;  // L for a container, the file length for a raw image
    std::int32_t agentIndex = 0;  // the agent the image is decoded with
    std::uint32_t checksum = 0;
    bool agentForced = false;  // the caller named the agent; no key was searched for
    bool keyPassed = false;    // the first plain byte under that agent's key passes the key test
};

// An agent index of the AgentNames table, for callers that know better than the key search
// (whose one-byte test can pass under a wrong key). Nothing: search as the window does.
using ForcedAgent = std::optional<std::int32_t>;

// Brings the file in `buffer` (its first `fileLength` bytes) into chained form at offset 0: a
// container's payload is moved over the header and the bytes behind it become erased flash; a
// raw image of a classic size is converted from the raw-file form. Selects the agent into
// State().AgentIndex (the forced one, when given, without any search) and sets
// State().ImageChecksum. On failure (also for a forced agent outside the table) nothing is
// changed.
RomOutcome<PreparedRom> PrepareRomImage(std::size_t fileLength, std::span<std::uint8_t> buffer,
                                        ForcedAgent forcedAgent = std::nullopt);

// Whether a file's name (its directory left out) starts with "QM" in any case mix.
bool FileNameFlag(const std::filesystem::path& file);

// Which container header bytes the caller takes; the fast download leaves byte 12 alone.
enum class HeaderUse : std::uint8_t { ChipCodeAndByte12, ChipCodeOnly };

// A loaded and prepared ROM file. It owns its buffer: the image from offset 0 and erased flash
// behind it, at least kImageSlack bytes of it.
class RomImage {
  public:
    RomKind Kind() const { return kind_; }
    std::string_view VersionText() const { return RomVersionText(kind_); }
    std::size_t FileLength() const { return fileLength_; }
    // L for a container, the file length for a raw image.
    std::size_t ImageLength() const { return imageLength_; }
    // Header byte 11 of a container; 0 for a raw image, whose byte 11 is image data.
    std::uint8_t ChipCode() const { return chipCode_; }
    // Header byte 12 bit 0 and bits 7-1 of a container read with HeaderUse::ChipCodeAndByte12;
    // otherwise false and 0.
    bool RangeFlag() const { return rangeFlag_; }
    std::uint8_t ChipIndex() const { return chipIndex_; }
    std::uint32_t Checksum() const { return checksum_; }
    bool NameFlag() const { return nameFlag_; }
    std::int32_t AgentIndex() const { return agentIndex_; }
    bool AgentForced() const { return agentForced_; }
    bool KeyPassed() const { return keyPassed_; }
    // True once the demoboard's plain image replaced the chained one.
    bool IsPlain() const { return plain_; }
    // SHA-256 (lower-case hex) of the file's bytes as they were read, before any preparation.
    const std::string& FileSha256() const { return fileSha256_; }

    std::span<std::uint8_t> Buffer() { return buffer_; }
    std::span<const std::uint8_t> Buffer() const { return buffer_; }
    std::span<const std::uint8_t> Image() const {
        return std::span<const std::uint8_t>(buffer_).first(imageLength_);
    }

    // Makes the buffer at least `size` bytes long, the new bytes erased flash; for programming
    // whole units beyond what the buffer holds.
    void PadTo(std::size_t size);

  private:
    friend RomOutcome<RomImage> LoadRomBytes(std::vector<std::uint8_t> fileBytes,
                                             const std::filesystem::path& fileName, HeaderUse use,
                                             ForcedAgent forcedAgent);
    friend RomOutcome<RomImage> LoadRomFile(const std::filesystem::path& file, HeaderUse use,
                                            ForcedAgent forcedAgent);
    friend void PrepareDemoboardImage(RomImage& image);

    RomImage() = default;
    // Reads the header bytes and prepares the file at the start of `buffer`, whose bytes from
    // `fileLength` on are erased flash.
    static RomOutcome<RomImage> FromBuffer(std::vector<std::uint8_t> buffer, std::size_t fileLength,
                                           bool nameFlag, HeaderUse use, ForcedAgent forcedAgent);

    std::vector<std::uint8_t> buffer_;
    RomKind kind_ = RomKind::Raw;
    std::size_t fileLength_ = 0;
    std::size_t imageLength_ = 0;
    std::uint8_t chipCode_ = 0;
    bool rangeFlag_ = false;
    std::uint8_t chipIndex_ = 0;
    std::uint32_t checksum_ = 0;
    bool nameFlag_ = false;
    std::int32_t agentIndex_ = 0;
    bool agentForced_ = false;
    bool keyPassed_ = false;
    bool plain_ = false;
    std::string fileSha256_;
};

// The download workflows' file loading: name flag (when State().FileNameRuleEnabled is 1), the
// file read whole once (a regular file of at most kMaxRomFileLength bytes, opened without
// blocking) into a buffer with kImageSlack erased bytes behind it, its digest, the header bytes
// `use` names, then PrepareRomImage. Changes State().AgentIndex and State().ImageChecksum like
// PrepareRomImage; a file that is no regular file, cannot be opened or read whole, or that
// PrepareRomImage refuses, is an error.
RomOutcome<RomImage> LoadRomFile(const std::filesystem::path& file,
                                 HeaderUse use = HeaderUse::ChipCodeAndByte12,
                                 ForcedAgent forcedAgent = std::nullopt);

// The same for file contents already in memory; `fileName` serves the name flag only.
RomOutcome<RomImage> LoadRomBytes(std::vector<std::uint8_t> fileBytes,
                                  const std::filesystem::path& fileName,
                                  HeaderUse use = HeaderUse::ChipCodeAndByte12,
                                  ForcedAgent forcedAgent = std::nullopt);

// The demoboard is programmed with the plain image: decodes it in place with the current agent's
// key (a raw image beyond 256 KiB is left untouched) and, when State().FileNameRuleEnabled is 1
// and the name flag is set, applies the file-name patch. A plain image is left alone.
void PrepareDemoboardImage(RomImage& image);

// The file-name patch of the demoboard's plain image: byte 386 gets its high nibble set, byte
// 387 becomes 0x0F. Bytes beyond the span are not touched.
void PatchDemoboardFileName(std::span<std::uint8_t> plain);

// The other way round, for packing tools and tests.
std::vector<std::uint8_t> MakeChainedImage(std::span<const std::uint8_t> plain, std::uint8_t key);
// Only for the four classic sizes; any other size would not be read back as this form.
RomOutcome<std::vector<std::uint8_t>> MakeRawFileImage(std::span<const std::uint8_t> plain,
                                                       std::uint8_t key);
// 16-byte header ("QDMROM" 01 02, L, chip code, chip index << 1 | range flag, three zeros) and
// the chained image. Refuses an image shorter than 64 bytes or longer than the length field
// holds, and a chip index beyond 7 bits.
RomOutcome<std::vector<std::uint8_t>> WrapRomContainer(std::span<const std::uint8_t> chained,
                                                       std::uint8_t chipCode,
                                                       std::uint8_t chipIndex, bool rangeFlag);

}  // namespace qdm
