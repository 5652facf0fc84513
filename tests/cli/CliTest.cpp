// Runs qdm-writer-cli as a user would and checks its output and exit status.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct CliRun {
    int status = -1;
    std::string output;
};

CliRun RunCli(const std::string& arguments) {
    CliRun run;
    const std::string command = std::string(QDM_CLI_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    std::array<char, 4096> chunk{};
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe) != nullptr)
        run.output += chunk.data();
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
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

TEST(Cli, UsageErrors) {
    EXPECT_EQ(RunCli("").status, 2);
    EXPECT_EQ(RunCli("--simulate k9 detect").status, 2);
    EXPECT_EQ(RunCli("frobnicate").status, 2);
    EXPECT_EQ(RunCli("--simulate").status, 2);
    const CliRun help = RunCli("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--simulate BOARD"), std::string::npos);
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

std::string Sample(const char* name) {
    return std::string(QDM_SAMPLES_DIR) + "/" + name;
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
        {"--simulate k3r8 download " + Sample("missing.bin"), 5, "[red]"},
        {"--simulate mcurom mcurom " + Sample("QM010_Brask_RV20.bin"), 0, "Flash Verify OK!(0x00)"},
        {"--simulate k3r8 --sim-fault frobnicate detect", 2, "cannot inject --sim-fault"},
    };
    for (const Case& c : cases) {
        const CliRun run = RunCli(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << c.arguments << "\n"
                                                                 << run.output;
    }
}

}  // namespace
