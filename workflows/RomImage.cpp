#include "workflows/RomImage.h"

#include <algorithm>
#include <string>
#include <system_error>

#include "state/Mainprocess.h"
#include "state/SafeFile.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/Sha256.h"

namespace qdm {

namespace {

constexpr std::size_t kChipCodeOffset = 11;
constexpr std::size_t kByte12Offset = 12;
constexpr std::array<std::size_t, 4> kRawFileFormSizes = {32768, 65536, 131072, 262144};

RomError Error(RomErrorCode code, std::string reason) {
    return RomError{code, std::move(reason)};
}

std::string Bytes(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

RomError TooShort(std::size_t length) {
    return Error(
        RomErrorCode::ImageTooShort,
        "The ROM image of " + Bytes(length) + " is shorter than " + Bytes(kMinImageLength) + ".");
}

}  // namespace

std::string_view RomVersionText(RomKind kind) {
    return kind == RomKind::Container ? "RV24" : "RV20";
}

bool IsRomContainer(std::span<const std::uint8_t> file) {
    return file.size() >= kContainerMagic.size() &&
           std::equal(kContainerMagic.begin(), kContainerMagic.end(), file.begin());
}

std::uint32_t GetContainerLength(std::span<const std::uint8_t> file) {
    if (!IsRomContainer(file) || file.size() < kChipCodeOffset) return 0;
    return static_cast<std::uint32_t>(file[8]) << 16 | static_cast<std::uint32_t>(file[9]) << 8 |
           static_cast<std::uint32_t>(file[10]);
}

bool IsRawFileFormSize(std::size_t length) {
    return std::find(kRawFileFormSizes.begin(), kRawFileFormSizes.end(), length) !=
           kRawFileFormSizes.end();
}

std::uint32_t ImageChecksum(std::span<const std::uint8_t> plain) {
    if (plain.size() <= kChecksumTail) return 0;
    std::uint32_t sum = 0;
    for (const std::uint8_t b : plain.first(plain.size() - kChecksumTail))
        sum += b;
    return sum;
}

std::uint32_t ChainedImageChecksum(std::span<const std::uint8_t> chained, std::uint8_t key) {
    if (chained.size() <= kChecksumTail) return 0;
    return ChainedPlainSum(chained.first(chained.size() - kChecksumTail), key);
}

std::uint8_t CurrentAgentKey() {
    return AgentKey(State().AgentIndex);
}

RomOutcome<PreparedRom> PrepareRomImage(std::size_t fileLength, std::span<std::uint8_t> buffer,
                                        ForcedAgent forcedAgent) {
    if (forcedAgent && (*forcedAgent < 0 || *forcedAgent >= static_cast<std::int32_t>(kAgentCount)))
        return Error(RomErrorCode::UnknownAgent,
                     "There is no agent " + std::to_string(*forcedAgent) + ".");
    if (fileLength > buffer.size()) {
        return Error(RomErrorCode::ShortRead, "The buffer holds only " + Bytes(buffer.size()) +
                                                  " of the " + Bytes(fileLength) +
                                                  " of the ROM file.");
    }
    const std::span<std::uint8_t> file = buffer.first(fileLength);
    ProgramState& state = State();
    PreparedRom prepared;
    std::optional<bool> searchPassed;

    if (IsRomContainer(file)) {
        if (fileLength < kContainerHeaderSize) {
            return Error(RomErrorCode::ContainerLengthBeyondFile,
                         "The container file of " + Bytes(fileLength) + " ends inside its header.");
        }
        const std::size_t payload = GetContainerLength(file);
        if (payload > fileLength - kContainerHeaderSize) {
            return Error(RomErrorCode::ContainerLengthBeyondFile,
                         "The container's payload of " + Bytes(payload) +
                             " does not fit in its file of " + Bytes(fileLength) + ".");
        }
        if (payload < kMinImageLength) return TooShort(payload);
        std::copy(buffer.begin() + kContainerHeaderSize,
                  buffer.begin() + static_cast<std::ptrdiff_t>(kContainerHeaderSize + payload),
                  buffer.begin());
        // What follows the image is programmed with it when the image ends inside a unit.
        std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(payload), buffer.end(), kErasedByte);
        if (forcedAgent) {
            state.AgentIndex = *forcedAgent;
        } else {
            const AgentSearchResult found =
                SearchAgentKey(ScrambledForm::Chained, buffer[0], state.AgentIndex);
            state.AgentIndex = found.agentIndex;
            searchPassed = found.passed;
        }
        prepared.kind = RomKind::Container;
        prepared.imageLength = payload;
    } else {
        if (fileLength < kMinImageLength) return TooShort(fileLength);
        if (forcedAgent) {
            state.AgentIndex = *forcedAgent;
            if (IsRawFileFormSize(fileLength)) RawFileToChained(file, CurrentAgentKey());
        } else if (IsRawFileFormSize(fileLength)) {
            const AgentSearchResult found = TranscodeRawImage(file, state.AgentIndex);
            state.AgentIndex = found.agentIndex;
            searchPassed = found.passed;
        }
        prepared.kind = RomKind::Raw;
        prepared.imageLength = fileLength;
    }

    prepared.agentIndex = state.AgentIndex;
    prepared.agentForced = forcedAgent.has_value();
    // A named agent and a raw image taken as chained were never searched; their key is judged
    // by the same test on the image as it now stands.
    prepared.keyPassed = searchPassed.value_or(
        PassesKeyTest(FirstPlainByte(ScrambledForm::Chained, buffer[0], CurrentAgentKey()), true));
    prepared.checksum = ChainedImageChecksum(buffer.first(prepared.imageLength), CurrentAgentKey());
    state.ImageChecksum = prepared.checksum;
    return prepared;
}

bool FileNameFlag(const std::filesystem::path& file) {
    // The native form, so a name the narrow code page cannot hold is still looked at.
    const std::filesystem::path::string_type name = file.filename().native();
    return name.size() >= 2 && (name[0] == 'Q' || name[0] == 'q') &&
           (name[1] == 'M' || name[1] == 'm');
}

void RomImage::PadTo(std::size_t size) {
    if (buffer_.size() < size) buffer_.resize(size, kErasedByte);
}

RomOutcome<RomImage> RomImage::FromBuffer(std::vector<std::uint8_t> buffer, std::size_t fileLength,
                                          bool nameFlag, HeaderUse use, ForcedAgent forcedAgent) {
    RomImage image;
    const std::span<const std::uint8_t> file = std::span(buffer).first(fileLength);
    // Byte 11 and 12 are image data in a raw file; only a container's header is read.
    if (IsRomContainer(file) && fileLength >= kContainerHeaderSize) {
        image.chipCode_ = file[kChipCodeOffset];
        if (use == HeaderUse::ChipCodeAndByte12) {
            image.rangeFlag_ = (file[kByte12Offset] & 0x01) != 0;
            image.chipIndex_ = static_cast<std::uint8_t>(file[kByte12Offset] >> 1);
        }
    }
    RomOutcome<PreparedRom> prepared = PrepareRomImage(fileLength, buffer, forcedAgent);
    if (!prepared) return prepared.error();
    image.buffer_ = std::move(buffer);
    image.kind_ = prepared.value().kind;
    image.fileLength_ = fileLength;
    image.imageLength_ = prepared.value().imageLength;
    image.checksum_ = prepared.value().checksum;
    image.agentIndex_ = prepared.value().agentIndex;
    image.agentForced_ = prepared.value().agentForced;
    image.keyPassed_ = prepared.value().keyPassed;
    image.nameFlag_ = nameFlag;
    return image;
}

RomOutcome<RomImage> LoadRomFile(const std::filesystem::path& file, HeaderUse use,
                                 ForcedAgent forcedAgent) {
    // Opened without blocking and read whole once: a pipe or a device cannot hold the window up,
    // and what is hashed and programmed is what was read, whatever the path names later.
    if (IsClaimedOutput(file))
        return Error(RomErrorCode::CannotOpen, "The ROM file is a file this program writes.");
    std::vector<std::uint8_t> buffer;
    const FileOutcome read = ReadRegularFile(file, kMaxRomFileLength, buffer, kImageSlack);
    switch (read.problem) {
        case FileProblem::None:
            break;
        case FileProblem::NotRegular:
            return Error(RomErrorCode::CannotOpen, "The ROM file is not a regular file.");
        case FileProblem::TooLarge:
            return Error(RomErrorCode::FileTooLarge, "The ROM file of " + Bytes(read.size) +
                                                         " is larger than any image (" +
                                                         Bytes(kMaxRomFileLength) + ").");
        case FileProblem::CannotRead:
            return Error(RomErrorCode::ShortRead, "The ROM file cannot be read whole.");
        default:
            return Error(RomErrorCode::CannotOpen, "The ROM file cannot be opened.");
    }
    return LoadRomBytes(std::move(buffer), file, use, forcedAgent);
}

RomOutcome<RomImage> LoadRomBytes(std::vector<std::uint8_t> fileBytes,
                                  const std::filesystem::path& fileName, HeaderUse use,
                                  ForcedAgent forcedAgent) {
    const bool nameFlag = State().FileNameRuleEnabled == 1 && FileNameFlag(fileName);
    if (fileBytes.size() > kMaxRomFileLength) {
        return Error(RomErrorCode::FileTooLarge, "The ROM file of " + Bytes(fileBytes.size()) +
                                                     " is larger than any image (" +
                                                     Bytes(kMaxRomFileLength) + ").");
    }
    const std::size_t length = fileBytes.size();
    // The preparation changes the bytes in place; the digest names the file as it was read.
    std::string sha256 = Sha256Hex(fileBytes);
    fileBytes.resize(length + kImageSlack, kErasedByte);
    auto image = RomImage::FromBuffer(std::move(fileBytes), length, nameFlag, use, forcedAgent);
    if (image) image.value().fileSha256_ = std::move(sha256);
    return image;
}

void PatchDemoboardFileName(std::span<std::uint8_t> plain) {
    if (plain.size() <= kNamePatchOffset + 1) return;
    plain[kNamePatchOffset] = static_cast<std::uint8_t>(plain[kNamePatchOffset] | 0xF0);
    plain[kNamePatchOffset + 1] = 0x0F;
}

void PrepareDemoboardImage(RomImage& image) {
    if (image.plain_) return;
    if (image.kind_ == RomKind::Raw && image.imageLength_ > kLargestDemoboardDecode) return;
    DecodeChainedImage(std::span(image.buffer_).first(image.imageLength_), CurrentAgentKey());
    image.plain_ = true;
    if (State().FileNameRuleEnabled == 1 && image.nameFlag_) PatchDemoboardFileName(image.buffer_);
}

std::vector<std::uint8_t> MakeChainedImage(std::span<const std::uint8_t> plain, std::uint8_t key) {
    std::vector<std::uint8_t> image(plain.begin(), plain.end());
    EncodeChainedImage(image, key);
    return image;
}

RomOutcome<std::vector<std::uint8_t>> MakeRawFileImage(std::span<const std::uint8_t> plain,
                                                       std::uint8_t key) {
    if (!IsRawFileFormSize(plain.size())) {
        return Error(RomErrorCode::NotEncodable,
                     "The raw-file form needs an image of 32, 64, 128 or 256 KiB, not " +
                         Bytes(plain.size()) + ".");
    }
    std::vector<std::uint8_t> image(plain.begin(), plain.end());
    EncodeRawFileImage(image, key);
    return image;
}

RomOutcome<std::vector<std::uint8_t>> WrapRomContainer(std::span<const std::uint8_t> chained,
                                                       std::uint8_t chipCode,
                                                       std::uint8_t chipIndex, bool rangeFlag) {
    if (chained.size() < kMinImageLength) return TooShort(chained.size());
    if (chained.size() > kMaxContainerPayload) {
        return Error(RomErrorCode::NotEncodable, "A container holds at most " +
                                                     Bytes(kMaxContainerPayload) + ", not " +
                                                     Bytes(chained.size()) + ".");
    }
    if (chipIndex > 0x7F) {
        return Error(RomErrorCode::NotEncodable,
                     "The chip index " + std::to_string(chipIndex) + " does not fit in 7 bits.");
    }
    std::vector<std::uint8_t> file(kContainerHeaderSize + chained.size(), 0x00);
    std::copy(kContainerMagic.begin(), kContainerMagic.end(), file.begin());
    const auto length = static_cast<std::uint32_t>(chained.size());
    file[8] = static_cast<std::uint8_t>(length >> 16);
    file[9] = static_cast<std::uint8_t>(length >> 8);
    file[10] = static_cast<std::uint8_t>(length);
    file[kChipCodeOffset] = chipCode;
    file[kByte12Offset] = static_cast<std::uint8_t>(chipIndex << 1 | (rangeFlag ? 1 : 0));
    std::copy(chained.begin(), chained.end(), file.begin() + kContainerHeaderSize);
    return file;
}

}  // namespace qdm
