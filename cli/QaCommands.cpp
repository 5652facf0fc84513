// verify, read, blank-check and erase: one part of the download on its own, on the boards whose
// stages allow it, with the download's exit statuses, JSON and run-log lines.

#include <CLI/CLI.hpp>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "cli/Options.h"
#include "cli/RunSupport.h"
#include "protocol/Usbfunctions.h"
#include "session/ProcessFiles.h"
#include "session/Session.h"
#include "workflows/ChipProperties.h"
#include "workflows/DownloadWorkflow.h"

namespace qdm::cli {

namespace {

// The largest flash a read or blank check covers: one serial flash chip.
constexpr std::uint32_t kLargestKiB = 2048;
constexpr std::uint32_t kUnitKiB = kImageUnit / 1024;
constexpr std::size_t kMostFlashChips = 4;  // the K3.r8's

struct QaArguments {
    BoardOperation operation = BoardOperation::Verify;
    std::string file;  // verify: the ROM file; read: the output file
    std::optional<int> chip;
    std::optional<std::uint32_t> sizeKiB;
    DownloadOptions options;
    bool yes = false;
};

// The units a read or blank check covers: from --size, from the --chip type's image size, or
// the default.
std::optional<std::uint32_t> Units(Output& output, const QaArguments& arguments) {
    if (arguments.sizeKiB) {
        const std::uint32_t kib = *arguments.sizeKiB;
        if (kib == 0 || kib % kUnitKiB != 0 || kib > kLargestKiB) {
            output.Error("--size takes a multiple of 16 KiB up to " + std::to_string(kLargestKiB));
            return std::nullopt;
        }
        return kib / kUnitKiB;
    }
    if (arguments.chip) {
        const ChipProperties* row = ChipRow(*arguments.chip);
        if (row == nullptr || row->imageSize == 0) {
            output.Error("--chip AUTO names no size: name the chip type or give --size");
            return std::nullopt;
        }
        return (row->imageSize + kImageUnit - 1) / kImageUnit;
    }
    return kDefaultOperationUnits;
}

// "image.bin", chip 2 of 4: "image-2.bin"; a single chip's data goes to the file itself.
std::filesystem::path ChipFile(const std::filesystem::path& out, std::size_t chip,
                               std::size_t chips) {
    if (chips == 1) return out;
    std::filesystem::path file = out;
    file.replace_filename(out.stem().string() + "-" + std::to_string(chip + 1) +
                          out.extension().string());
    return file;
}

// Every file a read into `out` may write, whichever board answers: `out` and one per K3.r8 chip.
std::vector<session::NamedFile> ReadFiles(const std::filesystem::path& out) {
    std::vector<session::NamedFile> files{{"the read's file", out}};
    for (std::size_t chip = 0; chip < kMostFlashChips; ++chip)
        files.push_back({"the read's file", ChipFile(out, chip, kMostFlashChips)});
    return files;
}

// A read takes minutes on hardware: an output that cannot be made is refused before it.
bool OutputPlace(Output& output, const std::filesystem::path& out) {
    std::error_code ec;
    const std::filesystem::path folder =
        out.has_parent_path() ? out.parent_path() : std::filesystem::path(".");
    if (!std::filesystem::is_directory(folder, ec)) {
        output.Error(out.string() + ": the folder " + folder.string() + " does not exist");
        return false;
    }
    if (std::filesystem::is_directory(out, ec)) {
        output.Error(out.string() + " is a folder; name the file to write");
        return false;
    }
    return true;
}

int WriteRead(Output& output, const std::filesystem::path& out, const FlashData& data) {
    auto& files = output.Result()["files"];
    files = nlohmann::ordered_json::array();
    for (std::size_t chip = 0; chip < data.size(); ++chip) {
        const std::filesystem::path file = ChipFile(out, chip, data.size());
        std::string error;
        if (!WriteOutputFile(file, data[chip], error)) {
            output.Error(file.string() + ": " + error);
            return kExitFile;
        }
        files.push_back(file.string());
        output.Human() << "Written: " << file.string() << " (" << data[chip].size() << " bytes)\n";
    }
    return kExitSuccess;
}

int RunQaCommand(Context& context, const QaArguments& arguments) {
    Output& output = context.Out();
    const BoardOperation operation = arguments.operation;
    const std::string name(BoardOperationName(operation));
    if (operation == BoardOperation::Erase && !arguments.yes) {
        output.Error("erase clears the flash on the dongle's client board: give --yes to do it");
        return kExitUsage;
    }
    if ((operation == BoardOperation::Verify || operation == BoardOperation::Read) &&
        arguments.file.empty()) {
        output.Error(name + " needs " +
                     (operation == BoardOperation::Verify ? "a ROM file" : "an output file"));
        return kExitUsage;
    }
    DownloadOptions options = arguments.options;
    options.scope.operation = operation;
    if (operation != BoardOperation::Verify) {
        const auto units = Units(output, arguments);
        if (!units) return kExitUsage;
        options.scope.units = *units;
    }
    if (operation == BoardOperation::Read && !OutputPlace(output, arguments.file)) return kExitFile;
    // Nothing is opened for writing before every output is known to be no input and no other
    // output: a verify traced into its own ROM file would compare the chip with the trace.
    std::vector<std::uint8_t> bytes;
    session::ProcessFiles files;
    if (operation == BoardOperation::Read) files.outputs = ReadFiles(arguments.file);
    const int checked = operation == BoardOperation::Verify
                            ? CheckRunFiles(context, arguments.file, bytes)
                            : CheckRunFiles(context, std::move(files));
    if (checked != kExitSuccess) return checked;
    if (const int log = CheckRunLog(context); log != kExitSuccess) return log;
    Session* session =
        context.Dongle(operation == BoardOperation::Erase ? DongleUse::Writes : DongleUse::Reads);
    if (session == nullptr) return context.DongleFailure();
    std::string firmwareProblem;
    if (!session->PrepareForRun(firmwareProblem)) output.Warn(firmwareProblem);

    FlashData data;
    options.scope.readBack = &data;
    std::optional<std::string> romFile;
    if (operation == BoardOperation::Verify) romFile = arguments.file;
    std::string dumpError;
    const RunOutcome outcome =
        RecordedRun(context, *session, options.fast ? "fast " + name : name, romFile,
                    arguments.chip.value_or(0), dumpError,
                    [&options](OperatorPanel& panel) { return RunDownload(panel, options); });
    int code = Reported(output, outcome, firmwareProblem);
    // What was read is kept even when the virtual dongle's dump could not be.
    if (code == kExitSuccess && operation == BoardOperation::Read)
        code = WriteRead(output, arguments.file, data);
    return AfterDump(output, dumpError, code);
}

void AddExtentOptions(CLI::App& app, QaArguments& arguments, const std::string& what) {
    AddChipOption(app, arguments.chip, what + " as large as this chip type's image");
    app.add_option("--size", arguments.sizeKiB,
                   what +
                       " this many KiB from address 0 (a multiple of\n16, at most 2048; "
                       "default 256, the largest speech chip)")
        ->type_name("KIB")
        ->excludes("--chip");
}

constexpr const char* kQaNote =
    "The exit statuses are download's; a board without the stages for the command exits 8\n"
    "with nothing switched on. The run is appended to the run log unless --no-log is given.\n";

}  // namespace

void AddQaCommands(CommandSet& commands) {
    auto verify = std::make_shared<QaArguments>();
    verify->operation = BoardOperation::Verify;
    CLI::App& check = commands.Add(
        {"verify", "ROMFILE", "ROMFILE [--chip NAME] [--fast] [--agent NAME]",
         "check the client board against an image (--chip, --fast,\n--agent)",
         "Compares what the client board holds with ROMFILE as download would have programmed\n"
         "it, without erasing or programming: the image is prepared as download prepares it\n"
         "(the same --chip, --fast and --agent), then the board's data verify and option page\n"
         "verify run. The K3.r8 reads every programmed unit of its four chips back and the\n"
         "option page and parameter page of each (all but the page's random byte and the bytes\n"
         "an earlier download carried over, which are taken as the chip holds them). The K3.r1\n"
         "and the demoboard compare one-bit counts per 32 KiB: a count is a weaker check, since\n"
         "bits lost in one place and gained in another cancel out. An MCU-ROM dongle's flash is\n"
         "read back and compared byte by byte.\n",
         kQaNote},
        [verify](Context& context) { return RunQaCommand(context, *verify); });
    check.add_option("ROMFILE", verify->file);
    AddChipOption(check, verify->chip, "chip type, as for download");
    check.add_flag("--fast", verify->options.fast,
                   "expect what download --fast writes: chip code from header\n"
                   "byte 11, only the short system option page");
    AddAgentOption(check, verify->options.agent, "take this agent's key, as for download");

    auto read = std::make_shared<QaArguments>();
    read->operation = BoardOperation::Read;
    CLI::App& out = commands.Add(
        {"read", "OUT", "OUT [--chip NAME | --size KIB]",
         "read the flash back into files (K3.r8, MCU-ROM)",
         "Reads the flash from address 0 into files, as it is: on the K3.r8 each of its four\n"
         "chips into OUT with -1 to -4 before the extension (out.bin: out-1.bin .. out-4.bin),\n"
         "the MCU-ROM flash into OUT itself. The K3.r1 and the demoboard cannot read their\n"
         "flash back (they count one bits) and are refused.\n",
         kQaNote},
        [read](Context& context) { return RunQaCommand(context, *read); });
    out.add_option("OUT", read->file);
    AddExtentOptions(out, *read, "read");

    auto blank = std::make_shared<QaArguments>();
    blank->operation = BoardOperation::BlankCheck;
    CLI::App& blankApp = commands.Add(
        {"blank-check", "", "[--chip NAME | --size KIB]",
         "check that the flash is erased (K3.r8, K3.r1, MCU-ROM)",
         "The board's blank check on its own: the K3.r8 checks its first four 64 KiB blocks,\n"
         "the K3.r1 the blocks the size covers, an MCU-ROM dongle reads its flash. The\n"
         "demoboard has no blank check and is refused.\n",
         kQaNote},
        [blank](Context& context) { return RunQaCommand(context, *blank); });
    AddExtentOptions(blankApp, *blank, "check");

    auto erase = std::make_shared<QaArguments>();
    erase->operation = BoardOperation::Erase;
    CLI::App& eraseApp = commands.Add(
        {"erase", "--yes", "--yes [--chip NAME | --size KIB]", "erase the flash (asks for --yes)",
         "The board's erase on its own, followed by its blank check where it has one (the K3.r8\n"
         "does not judge its erase otherwise); an MCU-ROM dongle's erase reports its own end.\n"
         "Everything on the flash is lost, the option pages with it.\n",
         kQaNote},
        [erase](Context& context) { return RunQaCommand(context, *erase); });
    eraseApp.add_flag("--yes", erase->yes, "yes, erase it");
    AddExtentOptions(eraseApp, *erase, "blank-check");
}

}  // namespace qdm::cli
