// ROM files as an operator might pick them: container and raw forms, loaded from memory or from
// a file, prepared for the writer boards and for the demoboard. Besides memory safety it checks
// what loading promises: a refused file changes nothing; an accepted one holds exactly the
// file's image in chained form, erased flash behind it, the checksum of its plain bytes, and
// converts back to the very file it came from.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "state/Mainprocess.h"
#include "usb/Fileiofunctions.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/RomImage.h"

namespace qdm::fuzz {
namespace {

// The options come from the input's length, so the sample files serve as seeds unchanged.
struct Options {
    std::int32_t agent;
    HeaderUse use;
    bool qmName;
    bool ruleOn;
    bool fromFile;
};

Options OptionsFor(std::size_t size) {
    return {static_cast<std::int32_t>(size % kAgentCount),
            (size / 10) % 2 == 0 ? HeaderUse::ChipCodeAndByte12 : HeaderUse::ChipCodeOnly,
            (size / 20) % 2 == 0, (size / 40) % 4 != 0, size % 16 == 3};
}

std::filesystem::path ScratchFile(bool qmName) {
    static const std::filesystem::path folder = [] {
        auto f =
            std::filesystem::temp_directory_path() / ("qdm-fuzz-rom-" + std::to_string(::getpid()));
        std::filesystem::create_directories(f);
        return f;
    }();
    return folder / (qmName ? "QMsound.bin" : "sound.bin");
}

void CheckAccepted(const std::vector<std::uint8_t>& file, RomImage& rom, const Options& o) {
    const ProgramState& state = State();
    const bool container = IsRomContainer(file) && file.size() >= kContainerHeaderSize;
    Require(rom.Kind() == (container ? RomKind::Container : RomKind::Raw), "the kind");
    Require(rom.FileLength() == file.size(), "the file length");
    Require(rom.ImageLength() >= kMinImageLength, "no image shorter than the checksum tail");
    Require(rom.Buffer().size() >= rom.ImageLength() + kImageSlack, "the slack behind the image");
    const auto behind = rom.Buffer().subspan(rom.ImageLength());
    Require(std::all_of(behind.begin(), behind.end(), [](auto b) { return b == kErasedByte; }),
            "erased flash behind the image");
    Require(rom.AgentIndex() == state.AgentIndex && rom.AgentIndex() >= 0 &&
                rom.AgentIndex() < static_cast<std::int32_t>(kAgentCount),
            "the agent in force");
    const std::uint8_t key = AgentKey(rom.AgentIndex());
    Require(rom.Checksum() == state.ImageChecksum &&
                rom.Checksum() == ChainedImageChecksum(rom.Image(), key),
            "the checksum of the plain image");
    Require(rom.NameFlag() == (o.ruleOn && o.qmName), "the name flag");

    // Back to the file it came from.
    if (container) {
        Require(rom.ImageLength() == GetContainerLength(file), "the payload length");
        Require(std::equal(rom.Image().begin(), rom.Image().end(),
                           file.begin() + static_cast<std::ptrdiff_t>(kContainerHeaderSize)),
                "the payload, untouched");
        Require(rom.ChipCode() == file[11], "header byte 11");
        if (o.use == HeaderUse::ChipCodeAndByte12) {
            Require(rom.ChipIndex() == file[12] >> 1 && rom.RangeFlag() == ((file[12] & 1) != 0),
                    "header byte 12");
        }
    } else {
        Require(rom.ChipCode() == 0 && rom.ChipIndex() == 0, "no header in a raw image");
        std::vector<std::uint8_t> plain(rom.Image().begin(), rom.Image().end());
        DecodeChainedImage(plain, key);
        const std::vector<std::uint8_t> again = IsRawFileFormSize(file.size())
                                                    ? MakeRawFileImage(plain, key).value()
                                                    : MakeChainedImage(plain, key);
        Require(again == file, "the raw image converts back to its file");
    }

    // The demoboard's plain image, and padding for whole units.
    const std::vector<std::uint8_t> chained(rom.Image().begin(), rom.Image().end());
    PrepareDemoboardImage(rom);
    if (rom.IsPlain()) {
        std::vector<std::uint8_t> plain = chained;
        DecodeChainedImage(plain, key);
        if (state.FileNameRuleEnabled == 1 && rom.NameFlag()) {
            // The patch may reach into the erased flash behind a short image.
            std::vector<std::uint8_t> whole(rom.Buffer().begin(), rom.Buffer().end());
            std::copy(plain.begin(), plain.end(), whole.begin());
            PatchDemoboardFileName(whole);
            Require(std::equal(whole.begin(), whole.end(), rom.Buffer().begin()),
                    "the patched plain image");
        } else {
            Require(std::equal(plain.begin(), plain.end(), rom.Buffer().begin()),
                    "the plain image");
        }
    } else {
        Require(rom.Kind() == RomKind::Raw && rom.ImageLength() > kLargestDemoboardDecode,
                "only a long raw image stays chained");
    }
    const std::size_t before = rom.Buffer().size();
    rom.PadTo(before + file.size() % 40000);
    const auto padded = rom.Buffer().subspan(before);
    Require(std::all_of(padded.begin(), padded.end(), [](auto b) { return b == kErasedByte; }),
            "padding is erased flash");
}

}  // namespace
}  // namespace qdm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qdm;
    using namespace qdm::fuzz;
    const std::vector<std::uint8_t> file(data, data + size);
    const Options o = OptionsFor(size);
    ResetProgramState();
    State().AgentIndex = State().SavedAgentIndex = o.agent;
    State().FileNameRuleEnabled = o.ruleOn ? 1 : 0;
    State().ImageChecksum = 0xA5A5A5A5;

    // The header helpers on their own.
    const std::uint32_t length = GetContainerLength(file);
    Require(length == 0 || IsRomContainer(file), "a length only for a container");

    RomOutcome<RomImage> loaded = RomError{};
    if (o.fromFile) {
        const std::filesystem::path path = ScratchFile(o.qmName);
        Require(WriteFileFrom(file, path), "the scratch file");
        loaded = LoadRomFile(path, o.use);
    } else {
        loaded = LoadRomBytes(file, o.qmName ? "QMsound.bin" : "sound.bin", o.use);
    }
    if (!loaded) {
        Require(!loaded.error().reason.empty(), "a reason for a refusal");
        Require(State().AgentIndex == o.agent && State().ImageChecksum == 0xA5A5A5A5,
                "a refused file changes nothing");
    } else {
        CheckAccepted(file, loaded.value(), o);
    }

    // Preparation given fewer bytes than the file claims.
    std::vector<std::uint8_t> buffer(file);
    const std::size_t claimed = size + (size % 3);
    const RomOutcome<PreparedRom> prepared = PrepareRomImage(claimed, buffer);
    Require(claimed == size || !prepared, "no preparation past the buffer");
    return 0;
}
