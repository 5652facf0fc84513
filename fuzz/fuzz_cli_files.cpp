// The command line's file handling, with paths the fuzzer prepares: missing, a file of its own
// bytes or a sample, a link to another of them or to a file no command names, a second name of
// one, a FIFO, a folder. `rom pack`, `firmware encode`/`decode` and simulated downloads with
// --trace, --log, --firmware and --sim-dump read and write them in every arrangement. A FIFO
// must not hold a command up (the fuzzer's time-out catches it), no input may change, nothing
// may be written through a link or a second name, and a command that says it worked left its
// outputs as regular files.

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Context.h"
#include "cli/Options.h"
#include "fuzz/FuzzSupport.h"
#include "state/Mainprocess.h"
#include "state/SafeFile.h"
#include "usb/Fileiofunctions.h"

namespace qdm::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kNames = 4;
constexpr std::size_t kMaxOwnBytes = 4096;
constexpr std::array<const char*, 3> kSamples = {"QM010_Brask_RV24.bin", "QL020_PB_RV24.bin",
                                                 "virtual-dongle-firmware.TBH"};
const std::vector<std::uint8_t> kVictimBytes = {'k', 'e', 'e', 'p'};

fs::path Folder() {
    static const fs::path folder =
        fs::temp_directory_path() / ("qdm-fuzz-cli-" + std::to_string(::getpid()));
    return folder;
}
fs::path Name(std::size_t i) {
    return Folder() / ("f" + std::to_string(i));
}
fs::path Victim() {
    return Folder() / "victim";
}

std::vector<std::uint8_t> Read(const fs::path& path) {
    std::vector<std::uint8_t> bytes;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return bytes;
    (void)ReadRegularFile(path, kMaxOwnBytes * 1024, bytes);
    return bytes;
}

// Makes name `i` what the fuzzer picks.
void Prepare(std::size_t i, FuzzInput& in) {
    const fs::path path = Name(i);
    const std::uint8_t choice = in.Byte();
    const fs::path other = (choice >> 4) % 2 == 0 ? Victim() : Name((choice >> 5) % kNames);
    std::error_code ec;
    switch (choice % 8) {
        case 0:
            break;  // missing
        case 1:
            WriteFileFrom(in.Take(in.Below(kMaxOwnBytes)), path);
            break;
        case 2:
            fs::copy_file(fs::path(QDM_SAMPLES_DIR) / kSamples[in.Below(kSamples.size())], path,
                          ec);
            break;
        case 3:
        case 4:
            fs::create_symlink(other, path, ec);
            break;
        case 5:
            fs::create_hard_link(other, path, ec);
            break;
        case 6:
            ::mkfifo(path.c_str(), 0600);
            break;
        default:
            fs::create_directory(path, ec);
            break;
    }
}

struct Command {
    std::vector<std::string> args;
    std::vector<std::size_t> inputs;
    std::vector<std::size_t> outputs;
};

Command Pick(FuzzInput& in) {
    const auto name = [&in] { return static_cast<std::size_t>(in.Below(kNames)); };
    Command c;
    const std::size_t a = name();
    const std::size_t b = name();
    const auto both = [&](std::vector<std::string> words) {
        words.push_back(Name(a).string());
        words.push_back(Name(b).string());
        c.args = std::move(words);
        c.inputs = {a};
        c.outputs = {b};
    };
    switch (in.Byte() % 4) {
        case 0:
            both({"rom", "pack"});
            c.args.insert(c.args.end(), {"--agent", "PB", "--raw"});
            return c;
        case 1:
            both({"firmware", "encode"});
            return c;
        case 2:
            both({"firmware", "decode"});
            return c;
        default:
            break;
    }
    c.args = {"--simulate", in.Flag() ? "k3r1" : "demoboard"};
    const auto option = [&](const char* flag, bool output) {
        if (!in.Flag()) return;
        const std::size_t n = name();
        c.args.insert(c.args.end(), {flag, Name(n).string()});
        (output ? c.outputs : c.inputs).push_back(n);
    };
    option("--trace", true);
    option("--firmware", false);
    if (in.Flag()) {
        option("--log", true);
    } else {
        c.args.push_back("--no-log");
    }
    if (in.Flag()) c.args.insert(c.args.end(), {"--sim-dump", Name(name()).string()});
    c.args.insert(c.args.end(), {"download", Name(a).string(), "--chip", "QM010"});
    c.inputs.push_back(a);
    return c;
}

}  // namespace
}  // namespace qdm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qdm;
    using namespace qdm::fuzz;
    ResetProgramState();
    QuietHooks();
    FuzzInput in(std::span(data, size));
    std::error_code ec;
    fs::remove_all(Folder(), ec);
    fs::create_directories(Folder());
    WriteFileFrom(kVictimBytes, Victim());
    for (std::size_t i = 0; i < kNames; ++i)
        Prepare(i, in);
    const Command command = Pick(in);

    std::vector<std::vector<std::uint8_t>> inputsBefore;
    for (const std::size_t i : command.inputs)
        inputsBefore.push_back(Read(Name(i)));

    cli::CommandLine line;
    std::string error;
    int code = 2;
    if (line.Parse(command.args, error)) {
        std::ostringstream out;
        std::ostringstream err;
        cli::Output output(line.Global(), out, err, false, false);
        cli::Context context(line.Global(), output);
        code = line.Run(context);
    }

    Require(Read(Victim()) == kVictimBytes, "nothing written through a link or a second name");
    for (std::size_t k = 0; k < command.inputs.size(); ++k)
        Require(Read(Name(command.inputs[k])) == inputsBefore[k], "every input unchanged");
    if (code == 0) {
        for (const std::size_t i : command.outputs)
            Require(fs::is_regular_file(fs::symlink_status(Name(i))),
                    "a command that worked left its outputs as regular files");
    }
    return 0;
}
