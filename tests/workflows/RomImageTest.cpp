#include "workflows/RomImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "state/Mainprocess.h"
#include "workflows/Mcurom_codec.h"

namespace qdm {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class RomImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProgramState();
        dir_ = fs::temp_directory_path() / ("qdm-rom-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        ResetProgramState();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path Write(const std::string& name, const Bytes& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return dir_ / name;
    }
    fs::path dir_;
};

// A speech image: random bytes behind one of the first bytes the right key gives.
Bytes PlainImage(std::size_t n, std::uint8_t first, std::uint32_t seed) {
    std::mt19937 engine(seed);
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(engine());
    out[0] = first;
    return out;
}

std::uint32_t SumButLast64(const Bytes& plain) {
    return plain.size() <= 64 ? 0 : std::accumulate(plain.begin(), plain.end() - 64, 0u);
}

Bytes Chained(Bytes image, std::int32_t agent) {
    EncodeChainedImage(image, AgentKey(agent));
    return image;
}

Bytes Container(const Bytes& chained, std::uint8_t code = 0x04, std::uint8_t byte12 = 0x02) {
    const auto n = chained.size();
    Bytes file = {'Q', 'D', 'M', 'R', 'O', 'M', 1, 2};
    file.insert(file.end(), {std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
    file.insert(file.end(), {code, byte12, 0, 0, 0});
    file.insert(file.end(), chained.begin(), chained.end());
    return file;
}

bool AllErased(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](auto b) { return b == 0xFF; });
}

TEST_F(RomImageTest, MagicIsByteExact) {
    const Bytes payload(100, 0);
    struct Case {
        Bytes head;
        bool container;
    };
    const Case cases[] = {{{'Q', 'D', 'M', 'R', 'O', 'M', 1, 2}, true},
                          {{'q', 'd', 'm', 'r', 'o', 'm', 1, 2}, false},
                          {{'Q', 'D', 'M', 'R', 'O', 'm', 1, 2}, false},
                          {{'Q', 'D', 'M', 'R', 'O', 'M', 1, 3}, false},
                          {{'Q', 'D', 'M', 'R', 'O', 'M', 2, 1}, false}};
    for (const Case& c : cases) {
        Bytes file = Container(payload);
        std::copy(c.head.begin(), c.head.end(), file.begin());
        EXPECT_EQ(IsRomContainer(file), c.container);
        EXPECT_EQ(GetContainerLength(file), c.container ? 100u : 0u);
        const auto loaded = LoadRomBytes(file, "a.bin");
        ASSERT_TRUE(loaded.ok());
        EXPECT_EQ(loaded.value().VersionText(), c.container ? "RV24" : "RV20");
    }
    EXPECT_FALSE(IsRomContainer(std::span(cases[0].head).first(7)));
    Bytes big = Container(Bytes(0x012345, 0));
    EXPECT_EQ(GetContainerLength(big), 0x012345u);
}

TEST_F(RomImageTest, Checksums) {
    Bytes plain(65, 0xFF);
    plain[0] = 0x12;
    EXPECT_EQ(ImageChecksum(plain), 0x12u);
    EXPECT_EQ(ImageChecksum(std::span(plain).first(64)), 0u);
    State().ImageChecksum = 77;
    const auto small = LoadRomBytes(Container(Chained(PlainImage(64, 0xC8, 2), 6)), "a.bin");
    ASSERT_TRUE(small.ok());
    EXPECT_EQ(small.value().Checksum(), 0u);
    EXPECT_EQ(State().ImageChecksum, 0u);

    // A raw file of 100000 bytes is taken as chained already and summed with the current key.
    const Bytes chained = Chained(PlainImage(100000, 0xC8, 4), 3);  // not the current agent
    const auto loaded = LoadRomBytes(chained, "a.bin");
    ASSERT_TRUE(loaded.ok());
    EXPECT_TRUE(std::equal(chained.begin(), chained.end(), loaded.value().Buffer().begin()));
    EXPECT_EQ(State().AgentIndex, 6);
    Bytes decoded = chained;
    DecodeChainedImage(decoded, AgentKey(6));
    EXPECT_EQ(State().ImageChecksum, std::accumulate(decoded.begin(), decoded.end() - 64, 0u));
}

enum class Form { RawFile, RawChained, Container };

// The agent the search order gives, worked out from the rule without the code under test.
std::int32_t AgentTheOrderGives(const Bytes& stored, Form form, std::int32_t current) {
    if (form == Form::RawChained) return current;
    auto passes = [&](std::int32_t agent, bool erased) {
        Bytes head = {stored[0]};
        form == Form::RawFile ? DecodeRawFileImage(head, AgentKey(agent))
                              : DecodeChainedImage(head, AgentKey(agent));
        return head[0] == 0xC8 || head[0] == 0x00 || (erased && head[0] == 0xFF);
    };
    if (passes(current, form == Form::RawFile)) return current;
    for (const std::int32_t agent : {0, 3, 1, 7}) {
        if (passes(agent, true)) return agent;
    }
    return current;
}

// encode -> load -> the buffer holds the chained form of what the chosen key decodes to.
TEST_F(RomImageTest, RoundTripEveryAgentAndForm) {
    const std::pair<std::size_t, Form> forms[] = {
        {32768, Form::RawFile},  {65536, Form::RawFile},    {131072, Form::RawFile},
        {262144, Form::RawFile}, {40000, Form::RawChained}, {5000, Form::Container},
        {32768, Form::Container}};
    int ownKey = 0;
    for (const auto& [n, form] : forms) {
        for (std::int32_t agent = 0; agent < 10; ++agent) {
            for (const std::int32_t current : {6, 2}) {
                SCOPED_TRACE(testing::Message() << n << " form " << int(form) << " agent " << agent
                                                << " current " << current);
                const std::uint8_t first =
                    Bytes{0xC8, 0x00, 0xFF}[std::size_t(agent + current) % 3];
                const Bytes plain = PlainImage(n, first, std::uint32_t(agent * 31 + current));
                Bytes stored = plain;
                form == Form::RawFile ? EncodeRawFileImage(stored, AgentKey(agent))
                                      : EncodeChainedImage(stored, AgentKey(agent));
                ResetProgramState();
                State().AgentIndex = current;
                const auto loaded =
                    LoadRomBytes(form == Form::Container ? Container(stored) : stored, "x.bin");
                ASSERT_TRUE(loaded.ok());
                const RomImage& image = loaded.value();
                ASSERT_EQ(image.ImageLength(), n);
                EXPECT_EQ(image.Kind(),
                          form == Form::Container ? RomKind::Container : RomKind::Raw);

                const std::int32_t expected = AgentTheOrderGives(stored, form, current);
                EXPECT_EQ(State().AgentIndex, expected);
                EXPECT_EQ(image.AgentIndex(), expected);
                Bytes truth = stored;  // what the chosen key makes of the file
                form == Form::RawFile ? DecodeRawFileImage(truth, AgentKey(expected))
                                      : DecodeChainedImage(truth, AgentKey(expected));
                if (expected == agent) {
                    EXPECT_EQ(truth, plain);
                    ++ownKey;
                }
                if (agent == current && !(form == Form::Container && first == 0xFF)) {
                    EXPECT_EQ(expected, agent);
                }
                Bytes decoded(image.Image().begin(), image.Image().end());
                DecodeChainedImage(decoded, AgentKey(expected));
                EXPECT_EQ(decoded, truth);
                EXPECT_EQ(image.Checksum(), SumButLast64(truth));
                EXPECT_EQ(State().ImageChecksum, image.Checksum());
            }
        }
    }
    EXPECT_GE(ownKey, 50);  // the one-byte test is ambiguous, but not that ambiguous
}

TEST_F(RomImageTest, BufferHoldsTheImageThenErasedFlash) {
    const Bytes chained = Chained(PlainImage(1000, 0x00, 3), 6);
    Bytes file = Container(chained);
    file.insert(file.end(), 100, 0x33);  // ignored bytes behind the payload
    for (const Bytes& f : {file, chained}) {
        const auto loaded = LoadRomFile(Write("f.bin", f));
        ASSERT_TRUE(loaded.ok());
        const auto buffer = loaded.value().Buffer();
        ASSERT_EQ(buffer.size(), f.size() + kImageSlack);
        EXPECT_TRUE(std::equal(chained.begin(), chained.end(), buffer.begin()));
        EXPECT_TRUE(AllErased(buffer.subspan(1000)));
    }
    auto loaded = LoadRomBytes(chained, "a.bin");
    loaded.value().PadTo(0x40000);
    EXPECT_EQ(loaded.value().Buffer().size(), 0x40000u);
    EXPECT_TRUE(AllErased(loaded.value().Buffer().subspan(1000)));
}

TEST_F(RomImageTest, HeaderBytes11And12) {
    const Bytes chained = Chained(PlainImage(256, 0xC8, 9), 6);
    Bytes raw = chained;
    raw[11] = 0x07;
    raw[12] = 0x0D;
    struct Case {
        Bytes file;
        HeaderUse use;
        std::uint8_t code, index;
        bool range;
    };
    const Case cases[] = {
        {Container(chained, 0x07, 0x0D), HeaderUse::ChipCodeAndByte12, 0x07, 6, true},
        {Container(chained, 0x07, 0x0C), HeaderUse::ChipCodeAndByte12, 0x07, 6, false},
        {Container(chained, 0x07, 0x0D), HeaderUse::ChipCodeOnly, 0x07, 0, false},
        {raw, HeaderUse::ChipCodeAndByte12, 0, 0, false},  // bytes 11 and 12 are image data
    };
    for (const Case& c : cases) {
        const auto loaded = LoadRomBytes(c.file, "a.bin", c.use);
        ASSERT_TRUE(loaded.ok());
        EXPECT_EQ(loaded.value().ChipCode(), c.code);
        EXPECT_EQ(loaded.value().ChipIndex(), c.index);
        EXPECT_EQ(loaded.value().RangeFlag(), c.range);
    }
}

TEST_F(RomImageTest, LoadErrorsChangeNothing) {
    Bytes longL = Container(Bytes(200, 0));
    longL[10] = 201;  // L = file length - 16 + 1
    struct Case {
        const char* what;
        fs::path file;
        RomErrorCode code;
    };
    const Case cases[] = {
        {"missing", dir_ / "missing.bin", RomErrorCode::CannotOpen},
        {"directory", dir_, RomErrorCode::CannotOpen},
        {"device", "/dev/null", RomErrorCode::CannotOpen},
        {"L beyond the file", Write("l.bin", longL), RomErrorCode::ContainerLengthBeyondFile},
        {"header cut short", Write("h.bin", {'Q', 'D', 'M', 'R', 'O', 'M', 1, 2, 0, 0, 0x40}),
         RomErrorCode::ContainerLengthBeyondFile},
        {"payload of 63", Write("p.bin", Container(Bytes(63, 0))), RomErrorCode::ImageTooShort},
        {"raw of 63", Write("r.bin", Bytes(63, 0)), RomErrorCode::ImageTooShort},
        {"empty", Write("e.bin", {}), RomErrorCode::ImageTooShort},
        // sysfs reports a page-sized length for a short text: a real short read.
        {"short read", "/sys/kernel/mm/transparent_hugepage/enabled", RomErrorCode::ShortRead},
    };
    for (const Case& c : cases) {
        if (!fs::exists(c.file) && c.file.filename() != "missing.bin") continue;  // no sysfs
        State().AgentIndex = 4;
        State().ImageChecksum = 99;
        const auto loaded = LoadRomFile(c.file);
        ASSERT_FALSE(loaded.ok()) << c.what;
        EXPECT_EQ(loaded.error().code, c.code) << c.what << ": " << loaded.error().reason;
        EXPECT_EQ(State().AgentIndex, 4) << c.what;
        EXPECT_EQ(State().ImageChecksum, 99u) << c.what;
    }
    Bytes buffer(100, 0);
    EXPECT_EQ(PrepareRomImage(200, buffer).error().code, RomErrorCode::ShortRead);
    EXPECT_TRUE(LoadRomBytes(Bytes(64, 0), "a.bin").ok());
    EXPECT_TRUE(LoadRomBytes(Container(Bytes(64, 0)), "a.bin").ok());
}

TEST_F(RomImageTest, NameFlagFromTheFileNameOnly) {
    const std::pair<const char*, bool> cases[] = {
        {"QM1.bin", true}, {"Qm", true}, {"qM.eva", true},    {"dir/qmx", true},
        {"QX.bin", false}, {"Q", false}, {"QM/x.bin", false}, {"aQM.bin", false}};
    for (const auto& [path, flag] : cases)
        EXPECT_EQ(FileNameFlag(path), flag) << path;
    EXPECT_TRUE(LoadRomBytes(Bytes(100, 0), "dir/QM.bin").value().NameFlag());
    State().FileNameRuleEnabled = 0;
    EXPECT_FALSE(LoadRomBytes(Bytes(100, 0), "dir/QM.bin").value().NameFlag());
}

TEST_F(RomImageTest, DemoboardImage) {
    Bytes plain = PlainImage(1000, 0x00, 15);
    plain[386] = 0x05;
    plain[387] = 0xA3;
    Bytes patched = plain;
    patched[386] = 0xF5;
    patched[387] = 0x0F;
    struct Case {
        const char* name;
        std::int32_t agent;
        bool container, ruleOn;
        const Bytes& expected;
    };
    const Case cases[] = {{"QMsong.bin", 6, true, true, patched},
                          {"qmsong.bin", 7, false, true, patched},
                          {"song.bin", 6, true, true, plain},
                          {"QMsong.bin", 6, false, false, plain}};  // rule off after loading
    for (const Case& c : cases) {
        ResetProgramState();
        State().AgentIndex = c.agent;
        const Bytes chained = Chained(plain, c.agent);
        auto loaded = LoadRomBytes(c.container ? Container(chained) : chained, c.name);
        ASSERT_TRUE(loaded.ok());
        State().FileNameRuleEnabled = c.ruleOn ? 1 : 0;
        PrepareDemoboardImage(loaded.value());
        PrepareDemoboardImage(loaded.value());  // a plain image stays as it is
        EXPECT_TRUE(loaded.value().IsPlain());
        EXPECT_TRUE(
            std::equal(c.expected.begin(), c.expected.end(), loaded.value().Buffer().begin()))
            << c.name;
    }
    const Bytes large = Chained(PlainImage(300000, 0xC8, 16), 6);
    auto loaded = LoadRomBytes(large, "QM.bin");
    PrepareDemoboardImage(loaded.value());
    EXPECT_FALSE(loaded.value().IsPlain());
    EXPECT_TRUE(std::equal(large.begin(), large.end(), loaded.value().Buffer().begin()));
    Bytes shortImage(387, 0x11);
    PatchDemoboardFileName(shortImage);
    EXPECT_EQ(shortImage, Bytes(387, 0x11));
}

TEST_F(RomImageTest, BuildingFiles) {
    Bytes expected = {'Q', 'D', 'M', 'R', 'O', 'M', 1, 2, 0, 1, 0, 0x10, 0x0D, 0, 0, 0};
    expected.insert(expected.end(), 256, 0xAB);
    EXPECT_EQ(WrapRomContainer(Bytes(256, 0xAB), 0x10, 6, true).value(), expected);
    EXPECT_EQ(WrapRomContainer(Bytes(63, 0), 1, 0, false).error().code,
              RomErrorCode::ImageTooShort);
    EXPECT_EQ(WrapRomContainer(Bytes(64, 0), 1, 128, false).error().code,
              RomErrorCode::NotEncodable);
    EXPECT_EQ(WrapRomContainer(Bytes(kMaxContainerPayload + 1, 0), 1, 0, false).error().code,
              RomErrorCode::NotEncodable);
    EXPECT_EQ(MakeRawFileImage(Bytes(40000, 0), 0x5E).error().code, RomErrorCode::NotEncodable);

    const Bytes plain = PlainImage(131072, 0xC8, 18);
    State().AgentIndex = 1;
    const auto raw = LoadRomBytes(MakeRawFileImage(plain, AgentKey(1)).value(), "r.bin");
    EXPECT_EQ(raw.value().Checksum(), SumButLast64(plain));
    const Bytes chained = MakeChainedImage(plain, AgentKey(1));
    EXPECT_TRUE(std::equal(chained.begin(), chained.end(), raw.value().Buffer().begin()));
    const auto container =
        LoadRomFile(Write("c.bin", WrapRomContainer(chained, 0x20, 11, false).value()));
    EXPECT_EQ(container.value().ChipIndex(), 11);
    EXPECT_TRUE(std::equal(chained.begin(), chained.end(), container.value().Buffer().begin()));
}

}  // namespace
}  // namespace qdm
