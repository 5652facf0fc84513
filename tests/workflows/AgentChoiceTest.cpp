// Naming the agent instead of searching for it, and inspecting what a file holds. The one-byte
// key test can pass under a wrong key; these files are built so that it does.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "state/Mainprocess.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/RomImage.h"
#include "workflows/RomInspect.h"

namespace qdm {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::int32_t kNoAgent = 0, kBrenzCo = 3, kQuelvo = 5, kPb = 6, kBrask = 7;

Bytes Plain(std::size_t n, std::uint8_t first) {
    std::mt19937 engine(11);
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(engine());
    out[0] = first;
    return out;
}

Bytes Container(const Bytes& plain, std::int32_t agent) {
    return WrapRomContainer(MakeChainedImage(plain, AgentKey(agent)), 0x10, 10, false).value();
}

Bytes PlainOf(const RomImage& rom) {
    Bytes image(rom.Image().begin(), rom.Image().end());
    DecodeChainedImage(image, AgentKey(rom.AgentIndex()));
    return image;
}

class AgentChoice : public ::testing::Test {
  protected:
    void SetUp() override { ResetProgramState(); }
    void TearDown() override { ResetProgramState(); }
};

// A container whose plain image starts with 0x00, made with Quelvo's key, also passes under
// Brask's key; the search tries Brask and takes it.
TEST_F(AgentChoice, ForcedAgentDecodesAContainerTheSearchGetsWrong) {
    const Bytes plain = Plain(4096, 0x00);
    const auto searched = LoadRomBytes(Container(plain, kQuelvo), "a.bin");
    ASSERT_TRUE(searched.ok());
    EXPECT_EQ(searched.value().AgentIndex(), kBrask);
    EXPECT_FALSE(searched.value().AgentForced());
    EXPECT_NE(PlainOf(searched.value()), plain);

    State().AgentIndex = kPb;
    const auto forced =
        LoadRomBytes(Container(plain, kQuelvo), "a.bin", HeaderUse::ChipCodeAndByte12, kQuelvo);
    ASSERT_TRUE(forced.ok());
    EXPECT_EQ(forced.value().AgentIndex(), kQuelvo);
    EXPECT_TRUE(forced.value().AgentForced());
    EXPECT_TRUE(forced.value().KeyPassed());
    EXPECT_EQ(PlainOf(forced.value()), plain);
    EXPECT_EQ(State().AgentIndex, kQuelvo);  // the option page takes the agent from the state
    EXPECT_EQ(State().ImageChecksum, ImageChecksum(plain));
}

// A raw-file-form image made with Brenz-Co's key whose plain image starts with 0xC8 passes under
// the built-in PB's key, which the search tries first.
TEST_F(AgentChoice, ForcedAgentConvertsARawFileTheSearchGetsWrong) {
    const Bytes plain = Plain(32768, 0xC8);
    const Bytes file = MakeRawFileImage(plain, AgentKey(kBrenzCo)).value();
    const auto searched = LoadRomBytes(file, "r.bin");
    ASSERT_TRUE(searched.ok());
    EXPECT_EQ(searched.value().AgentIndex(), kPb);

    const auto forced = LoadRomBytes(file, "r.bin", HeaderUse::ChipCodeAndByte12, kBrenzCo);
    ASSERT_TRUE(forced.ok());
    EXPECT_EQ(forced.value().AgentIndex(), kBrenzCo);
    EXPECT_EQ(PlainOf(forced.value()), plain);
    EXPECT_EQ(forced.value().Checksum(), ImageChecksum(plain));
}

TEST_F(AgentChoice, ForcedAgentOnAChainedRawImageOnlyPicksTheKey) {
    const Bytes plain = Plain(1000, 0xC8);
    const auto forced = LoadRomBytes(MakeChainedImage(plain, AgentKey(2)), "c.bin",
                                     HeaderUse::ChipCodeAndByte12, 2);
    ASSERT_TRUE(forced.ok());
    EXPECT_EQ(PlainOf(forced.value()), plain);
    EXPECT_TRUE(forced.value().KeyPassed());
    // Forcing a wrong key is the caller's choice; the image says its first byte does not pass.
    const auto wrong = LoadRomBytes(MakeChainedImage(plain, AgentKey(2)), "c.bin",
                                    HeaderUse::ChipCodeAndByte12, 9);
    ASSERT_TRUE(wrong.ok());
    EXPECT_FALSE(wrong.value().KeyPassed());
}

TEST_F(AgentChoice, AgentOutsideTheTableIsRefusedAndChangesNothing) {
    State().AgentIndex = kBrask;
    State().ImageChecksum = 1234;
    for (const std::int32_t agent : {-1, 10, 255}) {
        Bytes buffer = Container(Plain(256, 0xC8), kPb);
        const Bytes before = buffer;
        const auto prepared = PrepareRomImage(buffer.size(), buffer, agent);
        ASSERT_FALSE(prepared.ok());
        EXPECT_EQ(prepared.error().code, RomErrorCode::UnknownAgent);
        EXPECT_EQ(buffer, before);
    }
    EXPECT_EQ(State().AgentIndex, kBrask);
    EXPECT_EQ(State().ImageChecksum, 1234u);
}

TEST_F(AgentChoice, WithoutAForcedAgentTheSearchRunsAsBefore) {
    const Bytes file = Container(Plain(512, 0xC8), kBrenzCo);
    Bytes a = file;
    Bytes b = file;
    const auto defaulted = PrepareRomImage(a.size(), a);
    const std::int32_t agentAfterDefault = State().AgentIndex;
    State().AgentIndex = kPb;
    const auto explicitNone = PrepareRomImage(b.size(), b, std::nullopt);
    ASSERT_TRUE(defaulted.ok() && explicitNone.ok());
    EXPECT_EQ(agentAfterDefault, kBrenzCo);
    EXPECT_EQ(State().AgentIndex, kBrenzCo);
    EXPECT_EQ(a, b);
    EXPECT_FALSE(defaulted.value().agentForced);
    EXPECT_TRUE(defaulted.value().keyPassed);
}

TEST_F(AgentChoice, SearchWithoutAPassReportsTheKeyFailed) {
    // Agent 2's key is never tried, and no other key passes for this first byte.
    const auto loaded = LoadRomBytes(Container(Plain(512, 0xC8), 2), "x.bin");
    ASSERT_TRUE(loaded.ok());
    EXPECT_EQ(loaded.value().AgentIndex(), kPb);
    EXPECT_FALSE(loaded.value().KeyPassed());
}

// --- Inspection ------------------------------------------------------------------------------

TEST_F(AgentChoice, InspectListsEveryAgentThatPassesAndTheSearchPick) {
    const Bytes plain = Plain(4096, 0x00);
    Bytes file = Container(plain, kQuelvo);
    file[12] = static_cast<std::uint8_t>(10 << 1 | 1);
    State().AgentIndex = 4;
    State().ImageChecksum = 77;
    const auto info = InspectRom(file, kPb);
    ASSERT_TRUE(info.ok());
    const RomInfo& i = info.value();
    EXPECT_EQ(i.kind, RomKind::Container);
    EXPECT_EQ(i.fileLength, 4096u + 16);
    EXPECT_EQ(i.imageLength, 4096u);
    EXPECT_EQ(i.chipCode, 0x10);
    EXPECT_TRUE(i.rangeFlag);
    EXPECT_EQ(i.chipIndex, 10);
    EXPECT_EQ(i.agentIndex, kBrask);
    EXPECT_EQ(i.searchAgentIndex, kBrask);
    ASSERT_EQ(i.candidates.size(), 2u);
    EXPECT_EQ(i.candidates[0].agentIndex, kQuelvo);
    EXPECT_EQ(i.candidates[0].firstPlain, 0x00);
    EXPECT_EQ(i.candidates[1].agentIndex, kBrask);
    EXPECT_EQ(i.candidates[1].firstPlain, 0xFF);
    // The program's own agent and checksum are left alone.
    EXPECT_EQ(State().AgentIndex, 4);
    EXPECT_EQ(State().ImageChecksum, 77u);

    const auto forced = InspectRom(file, kPb, kQuelvo);
    ASSERT_TRUE(forced.ok());
    EXPECT_EQ(forced.value().agentIndex, kQuelvo);
    EXPECT_TRUE(forced.value().agentForced);
    EXPECT_EQ(forced.value().searchAgentIndex, kBrask);
    EXPECT_EQ(forced.value().checksum, ImageChecksum(plain));
    EXPECT_EQ(forced.value().firstPlainBytes, Bytes(plain.begin(), plain.begin() + 16));
}

TEST_F(AgentChoice, InspectRawFormsAndRefusals) {
    const Bytes plain = Plain(32768, 0xC8);
    const auto raw = InspectRom(MakeRawFileImage(plain, AgentKey(kNoAgent)).value(), kPb);
    ASSERT_TRUE(raw.ok());
    EXPECT_TRUE(raw.value().rawFileForm);
    EXPECT_EQ(raw.value().kind, RomKind::Raw);
    EXPECT_EQ(raw.value().chipCode, 0);
    EXPECT_EQ(raw.value().agentIndex, kNoAgent);

    const auto chained = InspectRom(MakeChainedImage(Plain(40, 0xC8), AgentKey(kPb)), kPb);
    EXPECT_FALSE(chained.ok());  // shorter than 64 bytes
    Bytes bad = Container(Plain(256, 0xC8), kPb);
    bad[9] = 0x7F;  // payload beyond the file
    const auto beyond = InspectRom(bad, kPb);
    ASSERT_FALSE(beyond.ok());
    EXPECT_EQ(beyond.error().code, RomErrorCode::ContainerLengthBeyondFile);
}

}  // namespace
}  // namespace qdm
