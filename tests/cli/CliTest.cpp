// Runs qdm-writer-cli as a user would and checks its output and exit status.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct CliRun {
    int status = -1;
    std::string output;
};

// Every run writes its log into the test's own folder, never into the user's.
std::string LogHome() {
    static const std::string home = (std::filesystem::temp_directory_path() /
                                     ("qdm-cli-home-" + std::to_string(std::random_device{}())))
                                        .string();
    return home;
}

FILE* StartCli(const std::string& arguments, const char* redirect = "2>&1",
               const std::string& environment = "") {
    const std::string command = "XDG_DATA_HOME=" + LogHome() + " " + environment + " " +
                                std::string(QDM_CLI_PATH) + " " + arguments + " " + redirect;
    return popen(command.c_str(), "r");
}

CliRun FinishCli(FILE* pipe) {
    CliRun run;
    if (pipe == nullptr) return run;
    std::array<char, 4096> chunk{};
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe) != nullptr)
        run.output += chunk.data();
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

// Standard output and error together.
CliRun RunCli(const std::string& arguments) {
    return FinishCli(StartCli(arguments));
}

// Standard output alone.
CliRun RunCliStdout(const std::string& arguments) {
    return FinishCli(StartCli(arguments, "2>/dev/null"));
}

// Starts the tool with standard output and error on `out`, which the test made (and this closes).
pid_t StartCliOn(const std::string& arguments, int out) {
    const std::string command =
        "XDG_DATA_HOME=" + LogHome() + " exec " + std::string(QDM_CLI_PATH) + " " + arguments;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(out, 2);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out);
    return pid;
}

int ExitStatus(pid_t pid) {
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool Has(const CliRun& run, const std::string& text) {
    return run.output.find(text) != std::string::npos;
}

TEST(Cli, DetectOnEachVirtualBoard) {
    struct Case {
        const char* board;
        int status;
        const char* line;
    };
    for (const Case c : {Case{"k3r8", 0, "Client board: OTP Writer K3.r8"},
                         Case{"k3r1", 0, "Client board: OTP Writer K3.r1"},
                         Case{"demoboard", 0, "Client board: Speech OTP Demoboard"},
                         Case{"mcurom", 4, "does not answer as a writer dongle"}}) {
        const CliRun run = RunCli(std::string("--simulate ") + c.board + " detect");
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_NE(run.output.find(c.line), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("Dongle: present, VID 0x04B4 PID 0x1004"), std::string::npos);
    }
}

TEST(Cli, UdevRuleLetsTheSeatUserOpenTheDongleOnly) {
    std::ifstream file(std::filesystem::path(QDM_PACKAGING_DIR) / "60-qdm-writer.rules");
    ASSERT_TRUE(file) << "the access help names this file";
    std::string rules;
    for (std::string line; std::getline(file, line);)
        if (!line.empty() && line[0] != '#') rules += line + "\n";
    EXPECT_NE(rules.find("ATTR{idVendor}==\"04b4\""), std::string::npos) << rules;
    EXPECT_NE(rules.find("ATTR{idProduct}==\"1004\""), std::string::npos) << rules;
    EXPECT_NE(rules.find("TAG+=\"uaccess\""), std::string::npos) << rules;
    EXPECT_EQ(rules.find("MODE"), std::string::npos) << "no world-writable node: " << rules;
    EXPECT_EQ(std::count(rules.begin(), rules.end(), '\n'), 1) << rules;
}

std::string Sample(const char* name);

std::string ReadText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    for (std::size_t at; (at = text.find("\\-")) != std::string::npos;)
        text.erase(at, 1);  // troff's "\-" is a plain "-"
    return text;
}

// The exit statuses and the faults as the program prints them, in the README and the manual.
TEST(Cli, DocumentsFollowTheProgramsTables) {
    const std::string help = RunCli("--help").output;
    const std::string readme = ReadText(std::string(QDM_PACKAGING_DIR) + "/../README.md");
    const std::string manual = ReadText(std::string(QDM_PACKAGING_DIR) + "/qdm-writer-cli.1.in");
    const std::regex exitRow(R"( +(\d+)  (\S+) .*)");
    const std::regex faultRow(R"(  ([a-z-]+)[@:\[ ].*)");
    std::istringstream lines(help.substr(help.find("Faults of the virtual dongle")));
    int rows = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, exitRow)) {
            ++rows;
            EXPECT_NE(readme.find("| " + match[1].str() + " | `" + match[2].str() + "` |"),
                      std::string::npos)
                << line;
            EXPECT_NE(manual.find(match[1].str() + "\t" + match[2].str() + "\t"), std::string::npos)
                << line;
        } else if (std::regex_match(line, match, faultRow)) {
            ++rows;
            const std::regex entry("\\n\\.B[IR]? " + match[1].str() + "[@: \\n]");
            EXPECT_TRUE(std::regex_search(manual, entry)) << line;
        }
    }
    EXPECT_GT(rows, 20);
}

// What a command line gets wrong, and the help that points the way.
TEST(Cli, CommandLineAnswers) {
    struct Case {
        std::string arguments;
        int status;
        const char* text;
    };
    const std::string raw = Sample("QL020_PB_RV20.bin");
    for (const Case& c : std::vector<Case>{
             {"", 2, "no command given"},
             {"frobnicate", 2, "unknown command frobnicate"},
             {"rom bogus", 2, "unknown rom command bogus"},
             {"firmware frob", 2, "unknown firmware command frob"},
             {"rom", 2, "rom needs a command: rom info or rom pack"},
             {"--simulate", 2, "--simulate needs a BOARD"},
             {"--simulate k9 detect", 2, "unknown board 'k9'"},
             {"download x.bin --chip", 2, "--chip needs a NAME"},
             {"download x.bin --chip QL020 --chip QL040", 2, "--chip may be given only once"},
             {"download x.bin y.bin", 2, "download: unexpected argument y.bin"},
             {"download x.bin --frob", 2, "download: unknown option --frob"},
             {"--simulate k3r8 --sim-fault stuck:1 detect", 2, "form is stuck:CHIP:ADDR:BIT"},
             {"--simulate k3r1 --sim-fault noerase:2 detect", 2, "has chip 1 only"},
             {"--simulate k3r8 --sim-timing fast detect", 2, "unknown timing 'fast'"},
             {"--sim-timing typical detect", 2, "--sim-timing need --simulate"},
             // Faults that could never happen would let a script believe it tested something.
             {"--simulate k3r8 --sim-fault unplug@100000 detect", 2, "sends at most 500"},
             {"--simulate k3r1 --sim-fault corrupt@3:512 detect", 2, "longer than 512 bytes"},
             {"--simulate k3r8 --sim-fault stuck:1:0x200000:0 detect", 2, "ends at address"},
             {"--simulate k3r8 --sim-fill 256 detect", 2, "--sim-fill takes a byte"},
             {"--no-log --simulate k3r8 download --chip QL020 -- " + raw, 0, "Verify OK"},
             {"--no-log --simulate k3r8 download " + raw, 6, "give one with --chip NAME"},
             {"--no-log --simulate k3r8 download missing.bin", 5, "missing.bin: cannot open it"},
             {"--simulate k3r8,k3r1 download " + raw, 2,
              "2 dongles are attached (sim:1, sim:2): name the one to write to with --device"},
             {"--simulate k3r8,k3r1 --device sim:3 detect", 3,
              "no dongle sim:3 is attached (attached: sim:1, sim:2;"},
             {"--simulate k3r8,k3r1 --sim-fault sim:3=busy detect", 2,
              "sim:3 is no virtual dongle; --simulate plugs sim:1 to sim:2"},
             {"--simulate k3r8,k3r1 --sim-fault sim:2=noerase:2 detect", 2, "has chip 1 only"},
             {"--simulate k3r1 erase", 2, "give --yes to do it"},
             {"--no-log --simulate demoboard read out.bin", 8, "cannot read its flash back"},
             {"--progress=bar detect", 2, "--progress"},
             {"help help", 0, "Usage: qdm-writer-cli [global options] help [COMMAND]"},
             {"help download", 0, "`qdm-writer-cli chips` lists"},
             {"--help", 0, "--simulate BOARD"},
             {"chips", 0, "QN040      0x10  131072 bytes"}}) {
        const CliRun run = RunCli(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.output;
        EXPECT_NE(run.output.find(c.text), std::string::npos) << c.arguments << "\n" << run.output;
    }
}

TEST(Cli, TraceShowsFirmwareWritesAndCommandLists) {
    const auto pcap = std::filesystem::temp_directory_path() / "qdm-cli-trace.pcap";
    const CliRun run = RunCli("--simulate k3r8 --trace " + pcap.string() + " detect");
    ASSERT_EQ(run.status, 0) << run.output;
    ASSERT_TRUE(std::filesystem::exists(pcap));
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
        std::filesystem::remove(pcap);
        GTEST_SKIP() << "tshark is not installed";
    }
    std::string read;
    {
        const std::string command =
            "tshark -r " + pcap.string() +
            " -Y 'usb.setup.bRequest == 0xa0 || usb.capdata' -T fields"
            " -e usb.setup.wValue -e usb.data_fragment -e usb.capdata 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::array<char, 65536> chunk{};
        while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe) != nullptr)
            read += chunk.data();
        pclose(pipe);
    }
    std::filesystem::remove(pcap);
    EXPECT_NE(read.find("0xe600\t01"), std::string::npos) << read;      // CPU held
    EXPECT_NE(read.find("0xe600\t00"), std::string::npos);              // CPU released
    EXPECT_NE(read.find("0103020000"), std::string::npos);              // hardware version list
    EXPECT_NE(read.find("35aa1a0015003555020000"), std::string::npos);  // board detection list
}

TEST(Cli, VerboseLogsEveryTransactionAndNamesWhyOneFailed) {
    // The hardware version query is the first list; its reply never comes.
    const std::string faulty = "--simulate k3r8 --sim-fault noreply@1 detect";
    const CliRun silent = RunCli(faulty);
    EXPECT_EQ(silent.status, 4) << silent.output;
    EXPECT_FALSE(Has(silent, "transaction:")) << silent.output;
    EXPECT_FALSE(Has(silent, "ERROR_")) << silent.output;
    for (const char* flag : {"-v", "--verbose"}) {
        const CliRun run = RunCli(std::string(flag) + " " + faulty);
        EXPECT_EQ(run.status, 4) << run.output;
        EXPECT_TRUE(Has(run,
                        "transaction: list 01 03 02 00 (4 bytes, 512 of 512 sent), reply 0 "
                        "of 4 bytes, failed"))
            << run.output;
        EXPECT_TRUE(Has(run, "usb: endpoint 0x86: transfer failed: ERROR_OPERATION_ABORTED (995)"))
            << run.output;
    }
}

std::string Sample(const char* name) {
    return std::string(QDM_SAMPLES_DIR) + "/" + name;
}

// A field report of a simulated download: an archive that tar and a JSON parser read, with the
// run's trace and log in it, and no byte of the image unless it was asked for.
TEST(Cli, ReportOfADownloadHoldsTheRunButNoImageUnlessAskedFor) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("qdm-cli-report-" + std::to_string(std::random_device{}()));
    const auto raw = [](const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    const std::string image = raw(Sample("QL020_PB_RV24.bin")).substr(16);
    for (const bool withRom : {false, true}) {
        const auto unpacked = folder / (withRom ? "with-rom" : "plain");
        std::filesystem::create_directories(unpacked);
        const auto archive = folder / (withRom ? "with-rom.tar.gz" : "plain.tar.gz");
        const CliRun run =
            RunCli("--no-log --simulate k3r8 download " + Sample("QL020_PB_RV24.bin") +
                   " --report " + archive.string() + (withRom ? " --report-include-rom" : ""));
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_TRUE(Has(run, "Report written to " + archive.string())) << run.output;
        ASSERT_EQ(
            std::system(("tar -xzf " + archive.string() + " -C " + unpacked.string()).c_str()), 0);
        const auto member = unpacked / "qdm-report";
        const auto result = nlohmann::json::parse(raw(member / "result.json"));
        EXPECT_EQ(result["command"], "download");
        EXPECT_EQ(result["exit_code"], 0);
        EXPECT_EQ(nlohmann::json::parse(raw(member / "run.jsonl"))["result"], "success");
        const auto doctor = nlohmann::json::parse(raw(member / "doctor.json"));
        ASSERT_TRUE(doctor.is_array() && !doctor.empty());
        EXPECT_NE(raw(member / "command.txt").find("download"), std::string::npos);
        const std::string log = raw(member / "diagnostic.log");
        EXPECT_NE(log.find("transaction: list"), std::string::npos);
        const std::string trace = raw(member / "trace.pcap");
        ASSERT_GT(trace.size(), 24u);
        EXPECT_EQ(trace.substr(0, 4), std::string("\xD4\xC3\xB2\xA1", 4));
        // The start of every page, where the image is not all one byte.
        int pages = 0;
        int inTrace = 0;
        for (std::size_t at = 0; at + 32 <= image.size(); at += 256) {
            const std::string window = image.substr(at, 32);
            if (window.find_first_not_of(window[0]) == std::string::npos) continue;
            ++pages;
            inTrace += trace.find(window) != std::string::npos ? 1 : 0;
        }
        ASSERT_GT(pages, 100);
        // The log shows a programming list up to its first page's address.
        EXPECT_TRUE(
            std::regex_search(log, std::regex(R"(list 31 55 34( [0-9A-F]{2}){3} \.\. \()")));
        EXPECT_FALSE(std::regex_search(log, std::regex(R"(list 31 55 34( [0-9A-F]{2}){4})")));
        if (withRom) {
            EXPECT_EQ(inTrace, pages);
            EXPECT_EQ(raw(member / "rom" / "QL020_PB_RV24.bin").substr(16), image);
        } else {
            EXPECT_EQ(inTrace, 0);
            EXPECT_FALSE(std::filesystem::exists(member / "rom"));
        }
    }
    std::filesystem::remove_all(folder);
}

TEST(Cli, DownloadSampleAndDumpTheVirtualFlash) {
    const auto dump = std::filesystem::temp_directory_path() / "qdm-cli-dump";
    std::filesystem::remove_all(dump);
    const CliRun run = RunCli("--simulate k3r8 --sim-dump " + dump.string() + " download " +
                              Sample("QL020_PB_RV24.bin"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Serial Flash Data Verify OK !"), std::string::npos);
    EXPECT_NE(run.output.find("File: OTP Writer K3.r8 / ROM Version RV24"), std::string::npos);
    // Each chip holds the container's payload from address 0.
    std::ifstream sample(Sample("QL020_PB_RV24.bin"), std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(sample)), {});
    for (int chip = 1; chip <= 4; ++chip) {
        std::ifstream flash(dump / ("chip" + std::to_string(chip) + ".bin"), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(flash)), {});
        ASSERT_EQ(bytes.size(), 2u * 1024 * 1024) << chip;
        EXPECT_TRUE(std::equal(file.begin() + 16, file.end(), bytes.begin())) << chip;
    }
    std::filesystem::remove_all(dump);
}

TEST(Cli, ExitStatusNamesTheFailingStage) {
    struct Case {
        std::string arguments;
        int status;
        const char* message;
    };
    const std::string container = " download " + Sample("QL020_PB_RV24.bin");
    const std::vector<Case> cases = {
        {"--simulate k3r8 --sim-fault absent" + container, 3, "Message: USB Not Found!!"},
        {"--simulate k3r8 --sim-fault hwversion:04.01.00.00" + container, 4,
         "USB Dongle hardware version error!"},
        {"--simulate k3r8 download " + Sample("QL020_PB_RV20.bin"), 6,
         "Message: Please select the chip type!"},
        {"--simulate k3r8 --sim-fault busy" + container, 7, "Writer Busy !!"},
        {"--simulate k3r8 --sim-fault boardid:0x40" + container, 8,
         "No Avaliable client board found!!"},
        {"--simulate k3r1 --sim-fault erasefail" + container, 10, "Chip Erase fail!"},
        {"--simulate demoboard --sim-fault endless-erase" + container, 10, "Chip Erase fail!"},
        {"--simulate k3r1 --sim-fault stuck:1:0x100:7:1 --sim-fault stuck:1:0x101:7:1"
         " --sim-fault stuck:1:0x102:7:1" +
             container,
         13, "Verify Fail"},
        {"--simulate k3r8 --sim-fault unplug@20" + container, 12,
         "Serial Flash Page Programming error!!"},
        {"--simulate k3r8 download --chip QX999 x.bin", 2, "unknown chip type"},
        {"--simulate k3r8 download " + Sample("missing.bin"), 5, "missing.bin: cannot open it"},
        {"--simulate mcurom mcurom " + Sample("QM010_Brask_RV20.bin"), 0, "Flash Verify OK!(0x00)"},
        {"--simulate k3r8 --sim-fault frobnicate detect", 2, "no such fault; FAULT is one of"},
        {"--simulate mcurom --sim-fault busy detect", 2, "it affects k3r8, k3r1, demoboard"},
        // --fast loads no firmware: it needs a dongle whose writer firmware already runs.
        {"--simulate k3r8 --sim-preloaded" + container + " --fast", 0, "Data Verify OK !"},
        {"--simulate k3r8" + container + " --fast", 10, "--fast does not load it"},
    };
    for (const Case& c : cases) {
        const CliRun run = RunCli(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.arguments << "\n"
                                                                 << run.output;
    }
}

// --- More of the command line -------------------------------------------------------------------

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

class CliFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qdm-cli-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        fs::remove_all(LogHome(), ec);
    }
    std::string Write(const std::string& name, const Bytes& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return (dir_ / name).string();
    }
    std::string Write(const std::string& name, const std::string& text) const {
        return Write(name, Bytes(text.begin(), text.end()));
    }
    static Bytes Read(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    static Bytes Plain(std::size_t n, std::uint8_t first) {
        std::mt19937 engine(3);
        Bytes out(n);
        for (auto& b : out)
            b = static_cast<std::uint8_t>(engine());
        out[0] = first;
        return out;
    }
    static std::string Hex32(std::uint32_t v) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", v);
        return text;
    }
    static std::uint32_t Checksum(const Bytes& plain) {
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i + 64 < plain.size(); ++i)
            sum += plain[i];
        return sum;
    }
    static Json Parse(const CliRun& run) {
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
        return Json::parse(run.output);
    }
    fs::path dir_;
};

TEST_F(CliFiles, HelpForEveryCommand) {
    for (const std::string command : {"detect", "download", "mcurom", "reset-demoboard", "rom info",
                                      "rom pack", "firmware decode", "firmware encode", "chips",
                                      "list", "gang", "verify", "read", "blank-check", "erase"}) {
        const CliRun asked = RunCli("help " + command);
        EXPECT_EQ(asked.status, 0) << command;
        EXPECT_TRUE(Has(asked, "Usage: qdm-writer-cli")) << command << asked.output;
        const CliRun flag = RunCli(command + " --help");
        EXPECT_EQ(flag.status, 0) << command;
        EXPECT_EQ(flag.output, asked.output) << command;
    }
    EXPECT_TRUE(Has(RunCli("help download"), "--agent NAME"));
    EXPECT_TRUE(Has(RunCli("help rom pack"), "--container"));
    const CliRun all = RunCli("help");
    EXPECT_TRUE(Has(all, "rom info ROMFILE"));
    EXPECT_TRUE(Has(all, "13  verify"));
    EXPECT_EQ(RunCli("help frobnicate").status, 2);
    EXPECT_EQ(RunCli("rom").status, 2);
    const CliRun version = RunCli("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(Has(version, "qdm-writer-cli 1."));
}

TEST_F(CliFiles, RomInfoOfTheSamples) {
    const CliRun info = RunCli("rom info " + Sample("QN040_PB_RV24.bin"));
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_TRUE(Has(info, "Kind: RV24"));
    EXPECT_TRUE(Has(info, "Payload length: 131072 bytes"));
    EXPECT_TRUE(Has(info, "Header chip code: 0x10 (QN040)"));
    EXPECT_TRUE(Has(info, "Header chip index: 10 (QN040)"));
    EXPECT_TRUE(Has(info, "Agent: PB (index 6, key 0xA1), found by the key search"));

    const Json raw = Parse(RunCliStdout("--json rom info " + Sample("QM010_Brask_RV20.bin")));
    EXPECT_EQ(raw["exit_code"], 0);
    EXPECT_EQ(raw["kind"], "RV20");
    EXPECT_EQ(raw["form"], "raw-file");
    EXPECT_EQ(raw["image_length"], 32768);
    EXPECT_TRUE(raw["header"].is_null());
    EXPECT_EQ(raw["agent"]["name"], "Brask");
    EXPECT_EQ(raw["first_plain_bytes"].get<std::string>().substr(0, 2), "C8");
}

TEST_F(CliFiles, RomInfoRefusesWhatCannotBeRead) {
    const CliRun missing = RunCli("rom info " + Path("missing.bin"));
    EXPECT_EQ(missing.status, 5);
    EXPECT_TRUE(Has(missing, "cannot open"));
    EXPECT_EQ(RunCli("rom info " + dir_.string()).status, 5);  // a folder
    Bytes container = Read(Sample("QM010_Brask_RV24.bin"));
    container[8] = 0x7F;  // payload far beyond the file
    const CliRun bad = RunCli("rom info " + Write("bad.bin", container));
    EXPECT_EQ(bad.status, 5);
    EXPECT_TRUE(Has(bad, "does not fit")) << bad.output;
    EXPECT_EQ(RunCli("rom info " + Write("tiny.bin", Bytes(10, 0))).status, 5);
    EXPECT_EQ(RunCli("rom info " + Sample("QL020_PB_RV24.bin") + " --agent Nobody").status, 2);
    EXPECT_EQ(RunCli("rom info").status, 2);
    const Json json = Parse(RunCliStdout("--json rom info " + Path("missing.bin")));
    EXPECT_EQ(json["result"], "file");
    EXPECT_EQ(json["exit_code"], 5);
}

// Every agent: a container and a raw-file form made by `rom pack` read back by `rom info` to the
// same plain image under that agent's key, which the one-byte test lists.
TEST_F(CliFiles, RomPackThenRomInfoRoundTripsForEveryAgent) {
    const Bytes plain = Plain(32768, 0xC8);
    const std::string plainFile = Write("plain.bin", plain);
    const std::vector<std::string> agents = {"NoAgentExist", "Morvik", "Teluma", "Brenz-Co", "K.W.",
                                             "Quelvo",       "PB",     "Brask",  "Tivane",   "QRV"};
    std::string head;
    for (std::size_t i = 0; i < 16; ++i) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", plain[i]);
        head += (i == 0 ? "" : " ") + std::string(two);
    }
    for (std::size_t a = 0; a < agents.size(); ++a) {
        for (const std::string form : {"--container --chip QM010 --range", "--raw"}) {
            const std::string out = Path("packed-" + std::to_string(a) + ".bin");
            const CliRun pack = RunCli("rom pack " + plainFile + " " + out + " --agent '" +
                                       agents[a] + "' " + form);
            ASSERT_EQ(pack.status, 0) << agents[a] << form << pack.output;
            const Json info =
                Parse(RunCliStdout("--json rom info " + out + " --agent '" + agents[a] + "'"));
            EXPECT_EQ(info["agent"]["index"], a);
            EXPECT_EQ(info["checksum"], Hex32(Checksum(plain))) << agents[a] << form;
            EXPECT_EQ(info["first_plain_bytes"], head) << agents[a] << form;
            bool listed = false;
            for (const Json& c : info["candidates"])
                listed = listed || c["index"] == a;
            EXPECT_TRUE(listed) << agents[a] << form;
            if (form == "--raw") {
                EXPECT_EQ(info["form"], "raw-file");
            } else {
                EXPECT_EQ(info["header"]["chip_code"], "0x02");
                EXPECT_EQ(info["header"]["chip_index"], 4);
                EXPECT_EQ(info["header"]["range_flag"], true);
            }
            // Without --agent the search finds the agent whenever only it passes and the search
            // tries it.
            const Json searched = Parse(RunCliStdout("--json rom info " + out));
            if (searched["candidates"].size() == 1 && searched["search"]["passed"] == true) {
                EXPECT_EQ(searched["agent"]["index"], a) << agents[a] << form;
            }
        }
    }
}

TEST_F(CliFiles, RomPackWarnsWhenTheSearchWouldTakeAnotherAgent) {
    // Quelvo's container of an image starting with 0x00 also passes under Brask's key.
    const std::string plainFile = Write("plain.bin", Plain(4096, 0x00));
    const CliRun pack = RunCli("-q rom pack " + plainFile + " " + Path("q.bin") +
                               " --agent Quelvo --container --chip QN040");
    EXPECT_EQ(pack.status, 0);
    EXPECT_TRUE(Has(pack, "warning: the key search takes Brask for this file, not Quelvo"))
        << pack.output;
    const CliRun info = RunCli("rom info " + Path("q.bin"));
    EXPECT_TRUE(Has(info, "Agents whose key passes the first-byte test: Quelvo (0x00), Brask"));
    EXPECT_TRUE(Has(info, "ambiguous"));
}

TEST_F(CliFiles, RomPackRefusals) {
    const std::string plain = Write("plain.bin", Plain(32768, 0xC8));
    const std::string out = Path("out.bin");
    struct Case {
        std::string arguments;
        int status;
        const char* message;
    };
    const std::vector<Case> cases = {
        {plain + " " + out + " --agent PB --container --chip QX1", 2, "unknown chip type QX1"},
        {plain + " " + out + " --agent PB --container", 2, "--container needs --chip"},
        {plain + " " + out + " --agent Nobody --raw", 2, "unknown agent Nobody"},
        {plain + " " + out + " --raw", 2, "needs --agent"},
        {plain + " " + out + " --agent PB --raw --container --chip QL020", 2, "exclude"},
        {plain + " " + out + " --agent PB --range", 2, "belong to --container"},
        {plain + " " + out + " --agent PB", 2, "raw-file form"},
        {Write("odd.bin", Plain(1000, 0xC8)) + " " + out + " --agent PB --raw", 5,
         "32, 64, 128 or 256 KiB"},
        {Path("missing.bin") + " " + out + " --agent PB --raw", 5, "cannot open"},
        {Write("short.bin", Plain(63, 0xC8)) + " " + out + " --agent PB", 5, "at least 64"},
        {plain + " " + Path("no/such/folder/out.bin") + " --agent PB --raw", 5, "cannot create"},
    };
    for (const Case& c : cases) {
        const CliRun run = RunCli("rom pack " + c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.output;
        EXPECT_TRUE(Has(run, c.message)) << c.arguments << "\n" << run.output;
        EXPECT_FALSE(fs::exists(out)) << c.arguments;
    }
    // A chained raw file of another size is fine and reads back as chained.
    const std::string odd = Write("odd.bin", Plain(1000, 0xC8));
    ASSERT_EQ(RunCli("rom pack " + odd + " " + out + " --agent Tivane").status, 0);
    const Json info = Parse(RunCliStdout("--json rom info " + out + " --agent Tivane"));
    EXPECT_EQ(info["form"], "chained");
    EXPECT_EQ(info["checksum"], Hex32(Checksum(Plain(1000, 0xC8))));
}

const std::string kHex = ":03100000AABBCCBC\r\n:020010001234A8\r\n:00000001FF\r\n";

Bytes Exchanged(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>((b >> 4) | (b << 4));
    return bytes;
}

TEST_F(CliFiles, FirmwareEncodeThenDecodeRoundTrips) {
    const std::string hex = Write("fw.hex", kHex);
    const CliRun encode = RunCli("firmware encode " + hex + " " + Path("fw.TBH"));
    ASSERT_EQ(encode.status, 0) << encode.output;
    EXPECT_TRUE(Has(encode, "3 records, 5 data bytes"));
    EXPECT_EQ(Read(Path("fw.TBH")), Exchanged(kHex));
    ASSERT_EQ(RunCli("firmware decode " + Path("fw.TBH") + " " + Path("back.hex")).status, 0);
    EXPECT_EQ(Read(Path("back.hex")), Bytes(kHex.begin(), kHex.end()));
    // The samples' stand-in firmware decodes to its own HEX text.
    ASSERT_EQ(RunCli("firmware decode " + Sample("virtual-dongle-firmware.TBH") + " " +
                     Path("sample.hex"))
                  .status,
              0);
    EXPECT_EQ(Read(Path("sample.hex")), Read(Sample("virtual-dongle-firmware.hex")));
}

TEST_F(CliFiles, FirmwareCommandsRefuseTextTheDownloadWouldRefuse) {
    std::string badChecksum = kHex;
    badChecksum.replace(badChecksum.find("BC\r\n"), 2, "BD");
    const CliRun bad =
        RunCli("firmware encode " + Write("bad.hex", badChecksum) + " " + Path("bad.TBH"));
    EXPECT_EQ(bad.status, 5);
    EXPECT_TRUE(Has(bad, "line 1: wrong checksum")) << bad.output;
    EXPECT_FALSE(fs::exists(Path("bad.TBH")));
    const CliRun badStored = RunCli("firmware decode " + Write("bad.TBH", Exchanged(badChecksum)) +
                                    " " + Path("bad.hex2"));
    EXPECT_EQ(badStored.status, 5);
    EXPECT_FALSE(fs::exists(Path("bad.hex2")));
    // Plain HEX given where a stored file belongs does not decode to records.
    EXPECT_EQ(RunCli("firmware decode " + Write("plain.hex", kHex) + " " + Path("x.hex")).status,
              5);
    std::string noEnd = kHex.substr(0, kHex.find(":00000001FF"));
    EXPECT_EQ(RunCli("firmware encode " + Write("noend.hex", noEnd) + " " + Path("n.TBH")).status,
              5);
    EXPECT_EQ(RunCli("firmware encode " + Path("missing.hex") + " " + Path("m.TBH")).status, 5);
    EXPECT_EQ(RunCli("firmware encode " + Path("only-one.hex")).status, 2);
}

TEST_F(CliFiles, FirmwareEncodeEndsLinesWithCrLf) {
    std::string lf = kHex;
    for (std::size_t at; (at = lf.find("\r\n")) != std::string::npos;)
        lf.erase(at, 1);
    const CliRun encode =
        RunCliStdout("--json firmware encode " + Write("lf.hex", lf) + " " + Path("lf.TBH"));
    ASSERT_EQ(encode.status, 0) << encode.output;
    EXPECT_EQ(Json::parse(encode.output)["line_ends_changed"], true);
    EXPECT_EQ(Read(Path("lf.TBH")), Exchanged(kHex));
}

// The exit-code table, one injected failure per row that a run can reach.
TEST_F(CliFiles, EveryFailureHasItsExitStatus) {
    const std::string container = " download " + Sample("QL020_PB_RV24.bin");
    const std::string mcurom = " mcurom " + Sample("QM010_Brask_RV24.bin");
    Bytes badFirmware = Exchanged(":0300000001020300\r\n:00000001FF\r\n");
    const std::string firmware = Write("bad.TBH", badFirmware);
    struct Case {
        std::string arguments;
        int status;
        const char* result;
    };
    const std::vector<Case> cases = {
        {"--simulate k3r8" + container, 0, "success"},
        {"--simulate k3r8 --sim-fault absent" + container, 3, "no-dongle"},
        {"--simulate k3r8 --sim-fault foreign" + container, 4, "dongle"},
        {"--simulate k3r8 --sim-fault foreign detect", 4, "dongle"},
        {"--simulate k3r8 --sim-fault hwversion:04.01.00.00" + container, 4, "dongle"},
        {"--simulate k3r8" + mcurom, 4, "dongle"},
        {"--simulate k3r8 --firmware " + firmware + container, 5, "file"},
        {"--simulate k3r8 --firmware " + Path("missing.TBH") + container, 5, "file"},
        {"--simulate k3r8 --firmware " + Path("missing.TBH") + " detect", 5, "file"},
        {"--simulate k3r8 --trace " + Path("no/such/folder/t.pcap") + " detect", 5, "file"},
        {"--simulate k3r8 download " + Path("missing.bin"), 5, "file"},
        {"--simulate k3r8 download " + Sample("QL020_PB_RV20.bin"), 6, "chip-type"},
        {"--simulate k3r1 --sim-fault busy" + container, 7, "board-busy"},
        {"--simulate k3r8 --sim-fault boardid:0x40" + container, 8, "no-board"},
        {"--simulate k3r1 --sim-fault erasefail" + container, 10, "erase"},
        {"--simulate demoboard --sim-fault erasefail" + container, 10, "erase"},
        // A used chip, whose missing erase shows where an erased one hides it.
        {"--simulate k3r8 --sim-fill random" + container, 0, "success"},
        {"--simulate k3r1 --sim-fill 0x00 --sim-fault noerase" + container, 11, "blank-check"},
        {"--simulate demoboard --sim-fill random --sim-fault noerase" + container, 13, "verify"},
        // The K3.r8 takes no notice of its erase replies; a chip left unerased shows at the verify.
        {"--simulate k3r8 --sim-fill 0x00 --sim-fault erasefail" + container, 13, "verify"},
        // mcurom asks a dongle three times whether it is a writer dongle before its flow.
        {"--simulate mcurom --sim-fault noreply@4" + mcurom, 10, "erase"},
        {"--simulate k3r8 --sim-fault unplug@7" + container, 9, "id-check"},
        {"--simulate k3r8 --sim-fault unplug@8" + container, 11, "blank-check"},
        {"--simulate mcurom --sim-fault noreply@9" + mcurom, 11, "blank-check"},
        {"--simulate mcurom --sim-fault noreply@18" + mcurom, 12, "program"},
        {"--simulate k3r1 --sim-fault lost@12" + container, 12, "program"},
        {"--simulate k3r1 --sim-fault unplug@32" + container, 13, "verify"},
        {"--simulate k3r8 --sim-fault stuck:2:0x10:0:1" + container, 13, "verify"},
    };
    for (const Case& c : cases) {
        const CliRun run = RunCliStdout("--json --no-log " + c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.output;
        const Json json = Json::parse(run.output);
        EXPECT_EQ(json["exit_code"], c.status) << c.arguments;
        EXPECT_EQ(json["result"], c.result) << c.arguments;
        if (c.status != 0) {
            EXPECT_FALSE(json["message"].get<std::string>().empty()) << c.arguments;
        }
    }
}

TEST_F(CliFiles, NamedAgentProgramsWhatTheSearchWouldGetWrong) {
    // A raw-file image made with Brenz-Co's key whose plain image starts with 0xC8 passes under
    // PB's key, which the search tries first; the demoboard shows it in its plain flash.
    const Bytes plain = Plain(32768, 0xC8);
    const std::string plainFile = Write("plain.bin", plain);
    const std::string rom = Path("brenz.bin");
    ASSERT_EQ(RunCli("rom pack " + plainFile + " " + rom + " --agent Brenz-Co --raw").status, 0);
    const std::string dump = Path("dump");
    const CliRun searched =
        RunCli("--no-log --simulate demoboard --sim-dump " + dump + " download " + rom);
    ASSERT_EQ(searched.status, 0) << searched.output;
    Bytes flash = Read(fs::path(dump) / "flash.bin");
    EXPECT_FALSE(std::equal(plain.begin(), plain.end(), flash.begin()));

    const CliRun named = RunCliStdout("--json --no-log --simulate demoboard --sim-dump " + dump +
                                      " download " + rom + " --agent brenz-co");
    ASSERT_EQ(named.status, 0) << named.output;
    flash = Read(fs::path(dump) / "flash.bin");
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), flash.begin()));
    const Json json = Json::parse(named.output);
    EXPECT_EQ(json["run"]["agent"], "Brenz-Co");
    EXPECT_EQ(json["run"]["agent_forced"], true);
    EXPECT_EQ(json["run"]["checksum"], Hex32(Checksum(plain)));

    const CliRun mcu = RunCli("--no-log --simulate mcurom mcurom " + rom + " --agent 3");
    EXPECT_EQ(mcu.status, 0) << mcu.output;
    EXPECT_EQ(RunCli("--simulate k3r8 download " + rom + " --agent").status, 2);
    EXPECT_EQ(RunCli("--simulate k3r8 download " + rom + " --agent Nobody").status, 2);
}

// Whatever a path names, the tool refuses it at once (a FIFO or a device never holds it up), never
// writes through a link, and never writes an output over an input, also reached through a link.
TEST_F(CliFiles, HostilePathsAreRefusedAtOnceAndNeverWrittenThrough) {
    const std::string rom = Write("rom.bin", Read(Sample("QL020_PB_RV24.bin")));
    const std::string plain = Write("plain.bin", Plain(32768, 0xC8));
    const std::string fw = Write("fw.TBH", Exchanged(kHex));
    const std::string victim = Write("victim", "victim");
    const std::string fifo = Path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(victim, Path("link"));
    fs::create_symlink(victim, Path("out.bin.part"));  // where an output once went first
    fs::create_symlink(fw, Path("fw-link"));
    fs::create_directories(Path("dump"));
    fs::create_symlink(victim, Path("dump/chip1.bin"));
    fs::create_directories(Path("blocked/ram.bin"));  // a folder where a dump file goes
    fs::create_symlink(victim, Path("read-1.bin"));   // where a read puts the K3.r8's chip 1
    fs::create_directories(Path("gang/sim-2"));
    fs::create_symlink(victim, Path("gang/sim-2/chip1.bin"));
    // Sparse: 3 GiB that take no disk, and would take 3 GB of memory if read.
    std::ofstream(Path("huge.bin")).close();
    fs::resize_file(Path("huge.bin"), std::uintmax_t{3} << 30);
    const Bytes before[] = {Read(rom), Read(fw)};
    const std::string sim = "--no-log --simulate k3r8 ";
    struct Case {
        std::string arguments;
        int status;
        const char* message;
    };
    const std::vector<Case> cases = {
        {sim + "download /dev/zero", 5, "not a regular file"},
        {sim + "download " + fifo, 5, "not a regular file"},
        {sim + "mcurom " + fifo, 5, "not a regular file"},
        {"--simulate k3r8 --firmware " + fifo + " detect", 5, "not a regular file"},
        {"--simulate k3r8 --firmware /dev/zero detect", 5, "not a regular file"},
        {"--simulate k3r8 --firmware " + Path("huge.bin") + " detect", 5, "larger than"},
        {sim + "download " + Path("huge.bin"), 5, "larger than"},
        {sim + "--trace " + fifo + " detect", 5, "not a regular file"},
        {"--simulate k3r8 --log " + fifo + " download " + rom, 5, "cannot be written"},
        {"--simulate k3r8 --log " + Path("link") + " download " + rom, 5, "cannot be written"},
        {"rom pack " + plain + " " + Path("link") + " --agent PB --raw", 0, "Wrote"},
        {"rom pack " + plain + " " + Path("out.bin") + " --agent PB --raw", 0, "Wrote"},
        {sim + "--sim-dump " + Path("dump") + " download " + rom, 0, "Verify OK"},
        {"rom pack " + rom + " " + rom + " --agent PB", 5, "refusing to write over it"},
        {"firmware decode " + fw + " " + Path("fw-link"), 5, "refusing to write over it"},
        {sim + "--trace " + rom + " download " + rom, 5, "refusing to write over it"},
        {"--simulate k3r8 --log " + rom + " download " + rom, 5, "refusing to write over it"},
        {sim + "--trace " + Path("fw-link") + " --firmware " + fw + " detect", 5, "refusing"},
        {sim + "--sim-dump " + victim + " download " + rom, 5, "(--sim-dump)"},
        {sim + "--sim-dump " + Path("blocked") + " download " + rom, 5, "(--sim-dump)"},
        {sim + "read " + Path("read.bin"), 0, "Written"},
        {"--simulate mcurom --log " + Path("same") + " read " + Path("same"), 5, "refusing"},
        {sim + "--trace " + rom + " verify " + rom, 5, "refusing to write over it"},
        {"--simulate k3r8,k3r1 --log " + rom + " gang " + rom, 5, "refusing to write over it"},
        {"--no-log --simulate k3r8,k3r8 --sim-dump " + Path("gang") + " gang " + rom, 0, "sim:2"},
        {sim + "detect --report " + Path("link"), 0, "Report written"},
        {sim + "--trace " + Path("t.pcap") + " detect --report " + Path("t.pcap"), 5, "refusing"},
    };
    for (const Case& c : cases) {
        // A run that hangs is ended, and fails the case.
        const CliRun run = FinishCli(StartCli(c.arguments, "2>&1", "timeout 60"));
        EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.output;
        EXPECT_TRUE(Has(run, c.message)) << c.arguments << "\n" << run.output;
        EXPECT_EQ(Read(victim), Bytes({'v', 'i', 'c', 't', 'i', 'm'})) << c.arguments;
        EXPECT_EQ(Read(rom), before[0]) << c.arguments;
        EXPECT_EQ(Read(fw), before[1]) << c.arguments;
    }
    // Board dumps of a simulated run go only where --sim-dump says, never beside the program.
    EXPECT_TRUE(fs::exists(Path("dump/RDBBK.VF1")));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Path("gang/sim-2/chip1.bin"))));
    EXPECT_FALSE(fs::exists(fs::path(QDM_CLI_PATH).parent_path() / "RDBBK.VF1"));
    // A dump that failed is said on stderr and among the warnings, not on stdout.
    const CliRun json =
        RunCliStdout("--json " + sim + "--sim-dump " + Path("blocked") + " download " + rom);
    const Json result = Parse(json);
    EXPECT_EQ(result["exit_code"], 5);
    ASSERT_EQ(result["warnings"].size(), 1u) << json.output;
    EXPECT_NE(result["warnings"][0].get<std::string>().find("ram.bin"), std::string::npos);
}

TEST_F(CliFiles, QuietAndJsonKeepStdoutForScripts) {
    const std::string container = " download " + Sample("QL020_PB_RV24.bin");
    const CliRun quiet = RunCliStdout("--quiet --no-log --simulate k3r8" + container);
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.output, "");
    const CliRun quietFail = RunCli("-q --no-log --simulate k3r1 --sim-fault busy" + container);
    EXPECT_EQ(quietFail.status, 7);
    EXPECT_EQ(quietFail.output, "qdm-writer-cli: Writer Busy !!\n");

    const Json json = Parse(RunCliStdout("--json --no-log --simulate k3r8" + container));
    EXPECT_EQ(json["command"], "download");
    EXPECT_EQ(json["result"], "success");
    EXPECT_TRUE(json["log"].is_null());
    const Json& run = json["run"];
    EXPECT_EQ(run["board"], "OTP Writer K3.r8");
    EXPECT_EQ(run["kind"], "RV24");
    EXPECT_EQ(run["chip_type"], "QL020");
    EXPECT_EQ(run["chip_code"], "0x03");
    EXPECT_EQ(run["agent"], "PB");
    EXPECT_EQ(run["stages"].back()["status"], "Serial Flash Data Verify OK !");

    const Json detect = Parse(RunCliStdout("--json --simulate k3r1 detect"));
    EXPECT_EQ(detect["board"], "OTP Writer K3.r1");
    EXPECT_EQ(detect["hardware_version"], "05 01 00 00");
    const Json usage = Parse(RunCliStdout("--json frobnicate"));
    EXPECT_EQ(usage["exit_code"], 2);
}

TEST_F(CliFiles, JsonPutsOneObjectOnStdoutWhateverHappens) {
    for (const std::string arguments :
         {"help", "--help", "download --help", "help help", "--version", "frobnicate", "download",
          "download x.bin --chip", "rom bogus", "--simulate k3r8 --sim-fault absent detect"}) {
        const CliRun run = RunCliStdout("--json " + arguments);
        const Json json = Parse(run);
        EXPECT_EQ(json["exit_code"], run.status) << arguments;
        EXPECT_EQ(json.contains("help"), arguments.find("help") != std::string::npos) << arguments;
    }
}

TEST_F(CliFiles, DownloadWarnsAboutASuspiciousImage) {
    Bytes undecodable = Read(Sample("QL020_PB_RV20.bin"));
    undecodable[0] = 0x00;
    const std::string container = Sample("QN040_PB_RV24.bin");
    struct Case {
        std::string arguments;
        const char* warning;
    };
    for (const Case& c : std::vector<Case>{
             {Write("undecodable.bin", undecodable) + " --chip QL020", "no agent's key passes"},
             {Sample("QL020_PB_RV20.bin") + " --chip QM005", "larger than chip type QM005"},
             {container + " --chip QL020", "--chip QL020 is ignored"},
             {container + " --chip QL020 --fast", "names 0x10; the chip gets 0x03"}}) {
        const Json json = Parse(RunCliStdout(
            "--json --no-log --simulate k3r8 --sim-preloaded download " + c.arguments));
        ASSERT_TRUE(json.contains("warnings")) << c.arguments;
        EXPECT_NE(json["warnings"].dump().find(c.warning), std::string::npos) << json["warnings"];
    }
}

TEST_F(CliFiles, ResetDemoboard) {
    const CliRun demo = RunCli("--simulate demoboard reset-demoboard");
    EXPECT_EQ(demo.status, 0) << demo.output;
    EXPECT_TRUE(Has(demo, "Demoboard resetting!!\nDemoboard reset OK!!"));
    const CliRun writer = RunCli("--simulate k3r8 reset-demoboard");
    EXPECT_EQ(writer.status, 8);
    EXPECT_TRUE(Has(writer, "not the demoboard; nothing was done"));
    EXPECT_EQ(RunCli("--simulate demoboard --sim-fault absent reset-demoboard").status, 3);
    EXPECT_EQ(RunCli("--simulate demoboard reset-demoboard now").status, 2);
}

TEST_F(CliFiles, RunLogIsOnByDefaultAndOffWithNoLog) {
    const fs::path log = fs::path(LogHome()) / "qdm-writer" / "runs.jsonl";
    fs::remove_all(LogHome());
    ASSERT_EQ(RunCli("--no-log --simulate k3r8 download " + Sample("QL020_PB_RV24.bin")).status, 0);
    EXPECT_FALSE(fs::exists(log));
    ASSERT_EQ(RunCli("--simulate mcurom mcurom " + Sample("QM010_Brask_RV24.bin")).status, 0);
    ASSERT_EQ(
        RunCli("--simulate k3r1 --sim-fault busy download " + Sample("QL020_PB_RV24.bin")).status,
        7);
    std::ifstream in(log);
    std::vector<Json> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(Json::parse(line));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["operation"], "mcurom");
    EXPECT_EQ(lines[0]["board"], "MCU-ROM");
    EXPECT_EQ(lines[0]["sha256"].get<std::string>().size(), 64u);
    EXPECT_EQ(lines[1]["result"], "board-busy");
    EXPECT_EQ(lines[1]["message"], "Writer Busy !!");

    const std::string own = Path("own.jsonl");
    ASSERT_EQ(
        RunCli("--log " + own + " --simulate k3r8 download " + Sample("QL020_PB_RV24.bin")).status,
        0);
    EXPECT_TRUE(fs::exists(own));
    EXPECT_EQ(RunCli("--log " + own + " --no-log detect").status, 2);
    // A run whose log cannot be written does not start.
    for (const std::string command : {" download ", " mcurom "}) {
        const CliRun unwritable = RunCli("--log " + dir_.string() + " --simulate mcurom" + command +
                                         Sample("QM010_Brask_RV24.bin"));
        EXPECT_EQ(unwritable.status, 5) << command;
        EXPECT_TRUE(Has(unwritable, "--log FILE or go without one with --no-log")) << command;
        EXPECT_FALSE(Has(unwritable, "Flash")) << unwritable.output;
    }
}

TEST_F(CliFiles, RunOutlivesAReaderThatWentAway) {
    // `download ... | head -1`: the pipe's reader is gone before the first status line.
    const fs::path log = fs::path(LogHome()) / "qdm-writer" / "runs.jsonl";
    fs::remove_all(LogHome());
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    close(pipeEnds[0]);
    const pid_t cli =
        StartCliOn("--simulate k3r8 download " + Sample("QL020_PB_RV24.bin"), pipeEnds[1]);
    EXPECT_EQ(ExitStatus(cli), 0);
    std::ifstream in(log);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(Json::parse(line)["result"], "success");
}

// The lines a terminal shows for `output`: carriage returns, line feeds, clearing to the end of
// the line and colours interpreted.
std::vector<std::string> Screen(const std::string& output) {
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (std::size_t i = 0; i < output.size(); ++i) {
        std::string& line = lines.back();
        if (output.compare(i, 3, "\x1b[K") == 0) {
            line.resize(column);
            i += 2;
        } else if (output[i] == '\x1b') {
            i = output.find('m', i);
        } else if (output[i] == '\r') {
            column = 0;
        } else if (output[i] == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            line.resize(std::max(line.size(), column + 1));
            line[column++] = output[i];
        }
    }
    return lines;
}

TEST_F(CliFiles, ProgressBarOnATerminal) {
    const std::regex bar(R"((.*) \[#* *\] (\d+)%)");
    for (const char* board : {"k3r8", "k3r1"}) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        const pid_t cli = StartCliOn(std::string("--no-log --simulate ") + board + " download " +
                                         Sample("QN040_PB_RV24.bin"),
                                     open(ptsname(master), O_RDWR | O_NOCTTY));
        std::string output;
        std::array<char, 4096> chunk{};
        for (ssize_t n; (n = read(master, chunk.data(), chunk.size())) > 0;)
            output.append(chunk.data(), static_cast<std::size_t>(n));
        close(master);
        ASSERT_EQ(ExitStatus(cli), 0) << output;
        const std::vector<std::string> lines = Screen(output);
        int bars = 0;
        bool erased = false;
        bool blankChecked = false;
        for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
            std::smatch match;
            erased = erased || lines[i] == "Chip Erase OK!";
            if (lines[i].find('[') == std::string::npos) continue;
            ASSERT_TRUE(std::regex_match(lines[i], match, bar)) << board << ": " << lines[i];
            ++bars;
            // A stage reported OK has its bar full; after the erase, no bar names it.
            if (lines[i + 1].find("OK") != std::string::npos) {
                EXPECT_EQ(match[2], "100") << lines[i];
            }
            EXPECT_FALSE(erased && match[1].str().find("Erasing") != std::string::npos) << lines[i];
            blankChecked =
                blankChecked || match[1].str().find("Blank Checking") != std::string::npos;
        }
        EXPECT_GE(bars, 4) << output;
        EXPECT_TRUE(blankChecked) << board;
    }
}

TEST_F(CliFiles, TenConcurrentRunsAppendTenWholeLines) {
    const fs::path log = fs::path(LogHome()) / "qdm-writer" / "runs.jsonl";
    fs::remove_all(LogHome());
    const std::vector<std::string> boards = {"k3r8",      "k3r1", "demoboard", "k3r8",      "k3r1",
                                             "demoboard", "k3r8", "k3r1",      "demoboard", "k3r8"};
    std::vector<FILE*> runs;
    for (const std::string& board : boards)
        runs.push_back(
            StartCli("--quiet --simulate " + board + " download " + Sample("QN040_PB_RV24.bin")));
    for (FILE* run : runs)
        EXPECT_EQ(FinishCli(run).status, 0);
    std::ifstream in(log, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back(), '\n');
    std::istringstream lines(all);
    std::map<std::string, int> perBoard;
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        const Json json = Json::parse(line);  // throws on a mixed line
        EXPECT_EQ(json["result"], "success");
        ++perBoard[json["simulated"].get<std::string>()];
    }
    EXPECT_EQ(count, 10);
    EXPECT_EQ(perBoard["k3r8"], 4);
    EXPECT_EQ(perBoard["k3r1"], 3);
    EXPECT_EQ(perBoard["demoboard"], 3);
}

// Four virtual dongles programmed at once, one pulled out half-way: the others are programmed
// with the image, the summary, the JSON object, the exit status and the run log say which failed.
TEST_F(CliFiles, GangOfFourWithOneDonglePulledOut) {
    const std::string rom = Sample("QL020_PB_RV24.bin");
    const std::string log = Path("runs.jsonl");
    const CliRun run = RunCli("--json --log " + log + " --sim-dump " + Path("dump") +
                              " --simulate k3r8,k3r1,demoboard,k3r8 --sim-fault sim:3=unplug@20 "
                              "gang " +
                              rom);
    EXPECT_EQ(run.status, 12) << run.output;
    const std::size_t at = run.output.find("{\"program\"");
    ASSERT_NE(at, std::string::npos) << run.output;
    const Json result = Json::parse(run.output.substr(at, run.output.find('\n', at) - at));
    ASSERT_EQ(result["devices"].size(), 4u) << result;
    for (std::size_t i = 0; i < 4; ++i) {
        const Json& device = result["devices"][i];
        EXPECT_EQ(device["device"], "sim:" + std::to_string(i + 1));
        EXPECT_EQ(device["exit_code"], i == 2 ? 12 : 0) << device;
        EXPECT_EQ(device["result"], i == 2 ? "program" : "success") << device;
    }
    EXPECT_EQ(result["devices"][2]["message"], "Serial Flash Page Programming error!!");
    EXPECT_EQ(result["devices"][1]["board"], "OTP Writer K3.r1");
    const std::regex summary(R"(\nsim:3 +Speech OTP Demoboard +program +12 .*Programming error)");
    EXPECT_TRUE(std::regex_search(run.output, summary)) << run.output;
    EXPECT_TRUE(Has(run, "1 of 4 downloads failed")) << run.output;

    // The writer boards keep the container's image as it is.
    const Bytes file = Read(rom);
    const Bytes image(file.begin() + 16, file.end());
    for (const std::string chip : {"sim-1/chip1.bin", "sim-1/chip4.bin", "sim-2/flash.bin",
                                   "sim-4/chip1.bin", "sim-4/chip4.bin"}) {
        const Bytes flash = Read(dir_ / "dump" / chip);
        ASSERT_GE(flash.size(), image.size()) << chip;
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << chip;
    }
    std::ifstream in(log);
    std::map<std::string, std::string> logged;
    for (std::string line; std::getline(in, line);) {
        const Json json = Json::parse(line);
        logged[json["device"].get<std::string>()] = json["result"].get<std::string>();
    }
    EXPECT_EQ(logged, (std::map<std::string, std::string>{{"sim:1", "success"},
                                                          {"sim:2", "success"},
                                                          {"sim:3", "program"},
                                                          {"sim:4", "success"}}));
}

// What a line controller reads: a JSON line per status line and progress step, then the result.
TEST_F(CliFiles, ProgressLinesFollowTheRun) {
    const CliRun run = RunCliStdout(
        "--no-log --progress=jsonl --json --simulate k3r8,k3r1 "
        "--device sim:2 download " +
        Sample("QL020_PB_RV24.bin"));
    ASSERT_EQ(run.status, 0) << run.output;
    std::istringstream lines(run.output);
    std::vector<Json> events;
    for (std::string line; std::getline(lines, line);)
        events.push_back(Json::parse(line));
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.back()["command"], "download");
    EXPECT_EQ(events.back()["run"]["device"], "sim:2");
    events.pop_back();
    int progress = 0;
    for (const Json& event : events) {
        EXPECT_EQ(event["device"], "sim:2") << event;
        EXPECT_TRUE(event["time"].is_string()) << event;
        EXPECT_TRUE(event["colour"] == "blue" || event["colour"] == "red") << event;
        if (event["event"] == "progress") {
            ++progress;
            EXPECT_GE(event["value"].get<int>(), 0);
            EXPECT_LE(event["value"].get<int>(), 100);
        } else {
            EXPECT_EQ(event["event"], "status") << event;
            EXPECT_TRUE(event["value"].is_null()) << event;
        }
    }
    EXPECT_GT(progress, 4);
    EXPECT_EQ(events.back()["text"], "Serial Flash Data Verify OK !");
    EXPECT_EQ(events.back()["board"], "OTP Writer K3.r1");
}

}  // namespace
