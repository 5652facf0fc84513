// Every operation that reads a reply of the dongle, fed replies the fuzzer chooses: the dongle
// queries and board detection, the K3.r8, K3.r1 and demoboard operations, the MCU-ROM link, and
// raw transactions. The input picks the dongle, then up to eight operations with their
// arguments (buffers sized exactly, sometimes too small); the rest of it, byte by byte, decides
// each reply. After every operation nothing may be left open and the results must stay in
// their ranges.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "protocol/Usbfunctions.h"
#include "protocol/Usbfunctions_old.h"
#include "state/Mainprocess.h"

namespace qdm::fuzz {
namespace {

constexpr std::array<const char*, 4> kBoards = {"k3r8", "k3r1", "demoboard", "mcurom"};
constexpr std::uint32_t kMaxUnits = 4;

// A buffer of `wanted` bytes, or now and then one byte short of it.
std::vector<std::uint8_t> Buffer(FuzzInput& in, std::size_t wanted) {
    const bool shorter = (in.Byte() & 0x0F) == 0 && wanted > 0;
    return std::vector<std::uint8_t>(shorter ? wanted - 1 : wanted, 0xEE);
}

std::vector<std::uint8_t> Image(FuzzInput& in, std::uint32_t units) {
    std::vector<std::uint8_t> image = Buffer(in, std::size_t{units} * kImageUnit);
    const std::uint8_t seed = in.Byte();
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(seed + i * 7);
    return image;
}

void RequireProgress() {
    Require(State().ProgressValue <= 128, "progress within 0..128");
}

// Runs one operation; returns its name for the checks that follow.
const char* RunOne(FuzzInput& in) {
    switch (in.Byte() % 32) {
        case 0:
            Require(DetectClientBoard() <= kBoardDemo, "a board kind 0..3");
            return "DetectClientBoard";
        case 1:
            QueryDongleIdentity();
            return "QueryDongleIdentity";
        case 2: {
            std::array<std::uint8_t, 4> version{1, 2, 3, 4};
            if (!QueryHardwareVersion(version))
                Require(version == std::array<std::uint8_t, 4>{1, 2, 3, 4},
                        "a failed query leaves the version alone");
            return "QueryHardwareVersion";
        }
        case 3:
            CheckDonglePresence();
            ResetDonglePort();
            return "CheckDonglePresence";
        case 4:
            R8Enable(in.Byte());
            return "R8Enable";
        case 5: {
            std::array<std::uint8_t, 12> id{};
            R8ReadId(id);
            return "R8ReadId";
        }
        case 6:
            R8Erase(in.Byte(), in.Byte());
            return "R8Erase";
        case 7: {
            std::uint8_t flags = 0;
            const std::uint32_t first = in.Byte() % 8;
            R8BlankCheck(first, first + in.Byte() % 16, flags);
            return "R8BlankCheck";
        }
        case 8: {
            const std::uint32_t units = in.Below(kMaxUnits + 1);
            R8ProgramImage(Image(in, units), units);
            return "R8ProgramImage";
        }
        case 9: {
            std::array<std::uint8_t, kPageSize> page{};
            page.fill(in.Byte());
            R8ProgramPage(page, in.Long());
            return "R8ProgramPage";
        }
        case 10: {
            const std::uint32_t units = in.Below(kMaxUnits + 1);
            std::array<std::vector<std::uint8_t>, 4> chips;
            for (auto& chip : chips)
                chip = Buffer(in, std::size_t{units} * kImageUnit);
            R8ReadBack(chips[0], chips[1], chips[2], units, chips[3]);
            return "R8ReadBack";
        }
        case 11: {
            std::array<std::vector<std::uint8_t>, 4> chips;
            for (auto& chip : chips)
                chip = Buffer(in, kBlockSize);
            R8ReadBlock(chips[0], chips[1], chips[2], in.Long(), chips[3]);
            return "R8ReadBlock";
        }
        case 12:
            R1BusyCheck();
            return "R1BusyCheck";
        case 13:
            R1Enable(in.Byte());
            return "R1Enable";
        case 14:
            R1Erase(in.Byte(), in.Byte());
            return "R1Erase";
        case 15: {
            std::array<std::uint8_t, 3> id{};
            R1ReadId(id);
            return "R1ReadId";
        }
        case 16: {
            const std::uint32_t first = in.Byte() % 8;
            R1BlankCheck(first, first + in.Byte() % 16);
            return "R1BlankCheck";
        }
        case 17: {
            const std::uint32_t units = in.Below(kMaxUnits + 1);
            R1ProgramImage(Image(in, units), units);
            return "R1ProgramImage";
        }
        case 18: {
            std::array<std::uint8_t, kPageSize> page{};
            page.fill(in.Byte());
            R1ProgramPage(page, in.Long());
            return "R1ProgramPage";
        }
        case 19: {
            std::vector<std::uint8_t> block = Buffer(in, kBlockSize);
            R1ReadBlock(block, in.Long());
            return "R1ReadBlock";
        }
        case 20:
            R1BitCount(in.Long(), in.Byte() % 17);
            return "R1BitCount";
        case 21:
            DemoEnable(in.Byte());
            return "DemoEnable";
        case 22:
            DemoRunControl(in.Byte());
            return "DemoRunControl";
        case 23: {
            std::array<std::uint8_t, 3> id{};
            DemoReadId(id);
            return "DemoReadId";
        }
        case 24:
            DemoChipErase();
            return "DemoChipErase";
        case 25: {
            const std::uint32_t units = in.Below(kMaxUnits + 1);
            DemoProgramImage(Image(in, units), units);
            return "DemoProgramImage";
        }
        case 26:
            DemoBitCount(in.Long(), in.Byte() % 17);
            return "DemoBitCount";
        case 27:
            McuRomErase();
            return "McuRomErase";
        case 28: {
            const std::uint32_t blocks = in.Below(kMaxUnits + 1);
            const std::vector<std::uint8_t> expected = Image(in, blocks);
            McuRomCompare(blocks, in.Byte(), expected);
            return "McuRomCompare";
        }
        case 29: {
            const std::uint32_t blocks = in.Below(kMaxUnits + 1);
            McuRomProgram(blocks, Image(in, blocks));
            return "McuRomProgram";
        }
        default: {
            // A list of the fuzzer's own and a reply of any length up to 8 KiB.
            const std::vector<std::uint8_t> list = in.Take(in.Word() % 1024);
            std::vector<std::uint8_t> reply(in.Word() % 8193, 0xEE);
            WriterTransaction(list, reply);
            return "WriterTransaction";
        }
    }
}

}  // namespace
}  // namespace qdm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qdm;
    using namespace qdm::fuzz;
    QuietHooks();
    FuzzInput in(std::span(data, size));
    const std::uint8_t setup = in.Byte();
    FuzzDongle dongle(kBoards[setup % kBoards.size()], (setup & 0x10) == 0);
    State().DumpFilesEnabled = (setup & 0x20) != 0 ? 1 : 0;
    const std::size_t operations = 1 + (setup >> 6) * 2 + 1;
    // The operations take their arguments from the front, the replies from the rest.
    std::vector<std::uint8_t> arguments = in.Take(std::size_t{16} * operations);
    FuzzInput args(arguments);
    FuzzInput replies(std::span(data, size).subspan(std::min(size, 1 + arguments.size())));
    dongle.FuzzReplies(replies);
    for (std::size_t i = 0; i < operations && !args.Empty(); ++i) {
        const char* name = RunOne(args);
        dongle.RequireNothingLeftOpen(name);
        RequireProgress();
    }
    return 0;
}
