#include "workflows/ChipProperties.h"

#include <algorithm>

#include "workflows/Mcurom_codec.h"

namespace qdm {

namespace {

constexpr std::size_t kEndAddressOffset = 198;
constexpr std::size_t kStartAddressOffset = 201;
constexpr std::size_t kCarriedOffset = 227;
constexpr std::size_t kMaskedKeyOffset = 230;
constexpr std::size_t kRandomOffset = 231;
constexpr std::size_t kChecksumOffset = 236;
constexpr std::size_t kAgentKeyOffset = 251;
constexpr std::size_t kChipCodeOffset = 252;
constexpr std::size_t kMarkerOffset = 255;
constexpr std::uint8_t kMarker = 0x5C;  // '\'

OptionPage ErasedPage() {
    OptionPage page;
    page.fill(0xFF);
    return page;
}

void PutLittleEndian24(OptionPage& page, std::size_t offset, std::uint32_t value) {
    page[offset] = static_cast<std::uint8_t>(value);
    page[offset + 1] = static_cast<std::uint8_t>(value >> 8);
    page[offset + 2] = static_cast<std::uint8_t>(value >> 16);
}

// What the full and the reduced page have in common.
void PutCommonBytes(OptionPage& page, const SysOptRequest& request, RandomByteSource& random) {
    const ChipProperties* byCode = FirstRowWithCode(request.chipCode);
    if (byCode != nullptr) page[250] = byCode->option250;
    const std::uint8_t r = random.NextByte();
    page[kRandomOffset] = r;
    page[kMaskedKeyOffset] = static_cast<std::uint8_t>(request.agentKey ^ r ^ 0xFF);
    page[kAgentKeyOffset] = request.agentKey;
    page[kChipCodeOffset] = request.chipCode;
    if (request.carried.Carried()) {
        for (std::size_t i = 0; i < request.carried.bytes.size(); ++i)
            page[kCarriedOffset + i] = request.carried.bytes[i];
    }
    for (std::size_t i = 0; i < 4; ++i)
        page[kChecksumOffset + i] = static_cast<std::uint8_t>(request.checksum >> (24 - 8 * i));
    page[kMarkerOffset] = kMarker;
}

}  // namespace

const ChipProperties* ChipRow(std::int32_t row) {
    if (row < 0 || row >= static_cast<std::int32_t>(ChipPropertyTable.size())) return nullptr;
    return &ChipPropertyTable[static_cast<std::size_t>(row)];
}

const ChipProperties* FirstRowWithCode(std::uint8_t code) {
    for (const ChipProperties& row : ChipPropertyTable) {
        if (row.code == code) return &row;
    }
    return nullptr;
}

std::uint8_t SystemRandomByteSource::NextByte() {
    return static_cast<std::uint8_t>(device_() & 0xFFU);
}

RandomByteSource& DefaultRandomByteSource() {
    static SystemRandomByteSource source;
    return source;
}

SysOptRequest SysOptRequestFromState(std::uint8_t chipCode, std::int32_t chipRow, bool rangeFlag,
                                     const CarriedOptionBytes& carried) {
    const ProgramState& state = State();
    SysOptRequest request;
    request.chipCode = chipCode;
    request.chipRow = chipRow;
    request.rangeFlag = rangeFlag;
    request.carried = carried;
    request.agentKey = AgentKey(state.AgentIndex);
    request.checksum = state.ImageChecksum;
    request.clientBoardKind = state.ClientBoardKind;
    return request;
}

OptionPage BuildSysOptPage(const SysOptRequest& request, RandomByteSource& random) {
    OptionPage page = ErasedPage();
    PutCommonBytes(page, request, random);
    if (const ChipProperties* byCode = FirstRowWithCode(request.chipCode)) {
        page[249] = byCode->option249;
        page[248] = byCode->option248;
        page[247] = byCode->option247;
        page[246] = byCode->option246;
        page[209] = byCode->option209;
        page[208] = byCode->option208;
    }
    // The demoboard has no data range; its chip is not given one.
    const bool writerBoard =
        request.clientBoardKind == kBoardK3r8 || request.clientBoardKind == kBoardK3r1;
    if (writerBoard) {
        const ChipProperties* selected = ChipRow(request.chipRow);
        if (request.rangeFlag) {
            PutLittleEndian24(page, kStartAddressOffset, kRangeFlagAddress);
            PutLittleEndian24(page, kEndAddressOffset, kRangeFlagAddress);
        } else if (selected != nullptr) {
            PutLittleEndian24(page, kStartAddressOffset, selected->startAddress);
            PutLittleEndian24(page, kEndAddressOffset, selected->endAddress);
        }
    }
    return page;
}

OptionPage BuildReducedSysOptPage(const SysOptRequest& request, RandomByteSource& random) {
    OptionPage page = ErasedPage();
    PutCommonBytes(page, request, random);
    return page;
}

OptionPage XorOfBlocks(std::span<const OptionBlockId> blocks) {
    OptionPage page{};
    for (const OptionBlockId id : blocks) {
        const OptionPage& block = OptionBlocks[id];
        for (std::size_t i = 0; i < page.size(); ++i)
            page[i] = static_cast<std::uint8_t>(page[i] ^ block[i]);
    }
    return page;
}

OptionPage XorPageAToC() {
    constexpr std::array<OptionBlockId, 3> kGroup = {kBlockA, kBlockB, kBlockC};
    return XorOfBlocks(kGroup);
}

OptionPage XorPageDToI() {
    constexpr std::array<OptionBlockId, 6> kGroup = {kBlockD, kBlockE, kBlockF,
                                                     kBlockG, kBlockH, kBlockI};
    return XorOfBlocks(kGroup);
}

std::array<OptionPageWrite, kOptionPageWriteCount> OptionPageWriteOrder(
    const OptionPage& sysOptPage) {
    return {{
        {kSysOptPageIndex, sysOptPage},
        {0xFFFE, OptionBlocks[kBlockA]},
        {0xFFFD, OptionBlocks[kBlockB]},
        {0xFFFC, OptionBlocks[kBlockC]},
        {0xFFFB, XorPageAToC()},
        {0xFFCE, OptionBlocks[kBlockD]},
        {0xFFCD, OptionBlocks[kBlockE]},
        {0xFFCC, OptionBlocks[kBlockF]},
        {0xFFCB, OptionBlocks[kBlockG]},
        {0xFFCA, OptionBlocks[kBlockH]},
        {0xFFC9, OptionBlocks[kBlockI]},
        {0xFFCF, XorPageDToI()},
    }};
}

std::optional<std::uint8_t> OptionByteFromBlock(std::span<const std::uint8_t> block,
                                                std::size_t k) {
    if (k >= kOptionPageSize || block.size() <= kOptionPageInBlock + k) return std::nullopt;
    return block[kOptionPageInBlock + k];
}

std::optional<OptionPage> OptionPageFromBlock(std::span<const std::uint8_t> block) {
    if (block.size() < kOptionPageInBlock + kOptionPageSize) return std::nullopt;
    OptionPage page;
    const auto from = block.subspan(kOptionPageInBlock, kOptionPageSize);
    std::copy(from.begin(), from.end(), page.begin());
    return page;
}

CarriedOptionBytes CarriedBytesFromBlock(std::span<const std::uint8_t> block) {
    CarriedOptionBytes carried;
    for (std::size_t i = 0; i < carried.bytes.size(); ++i) {
        const std::optional<std::uint8_t> b = OptionByteFromBlock(block, kCarriedOffset + i);
        if (!b) return CarriedOptionBytes{};
        carried.bytes[i] = *b;
    }
    return carried;
}

}  // namespace qdm
