#include <CLI/CLI.hpp>
#include <array>
#include <memory>
#include <ostream>
#include <string>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "cli/Options.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"

namespace qdm::cli {

namespace {

// What the firmware download takes, as the file stores it.
constexpr auto kMaxFirmwareFile = static_cast<std::size_t>(kMaxFirmwareFileLength);

struct HexSummary {
    std::size_t records = 0;
    std::size_t dataBytes = 0;
};

// Records and data bytes up to the end record of a text that passed the validation.
HexSummary Summarise(std::span<const std::uint8_t> text) {
    HexSummary summary;
    std::size_t position = 0;
    std::array<std::uint8_t, kRecordDataCapacity> data{};
    while (position < text.size()) {
        HexRecord record;
        if (!DecodeRecord(NextTextLine(text, position), data, record)) break;
        ++summary.records;
        if (record.data) summary.dataBytes += record.count;
        if (record.type == 0x01) break;
    }
    return summary;
}

// A text edited on a Unix host ends its lines with LF alone; the loader splits at CR LF only.
std::vector<std::uint8_t> WithCrLf(std::span<const std::uint8_t> text, bool& changed) {
    std::vector<std::uint8_t> out;
    out.reserve(text.size() + text.size() / 40);
    changed = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            out.push_back('\r');
            changed = true;
        }
        out.push_back(text[i]);
    }
    return out;
}

// The input and the output file.
using Arguments = std::array<std::string, 2>;

// The exit status for the two files: usage when one is missing, a file error when the output
// is the input.
int TwoFiles(Output& output, const Arguments& arguments, const char* command) {
    if (arguments[0].empty() || arguments[1].empty()) {
        output.Error(std::string(command) + " needs an input and an output file");
        return kExitUsage;
    }
    if (const auto clash = OutputOverInput(arguments[0], arguments[1])) {
        output.Error(*clash);
        return kExitFile;
    }
    return kExitSuccess;
}

int Finish(Context& context, const Arguments& arguments, std::span<const std::uint8_t> text,
           std::span<const std::uint8_t> written) {
    Output& output = context.Out();
    std::string error;
    if (!WriteOutputFile(arguments[1], written, error)) {
        output.Error(error);
        return kExitFile;
    }
    const HexSummary summary = Summarise(text);
    auto& result = output.Result();
    result["input"] = arguments[0];
    result["output"] = arguments[1];
    result["records"] = summary.records;
    result["data_bytes"] = summary.dataBytes;
    result["bytes"] = written.size();
    output.Human() << "Wrote " << arguments[1] << ": " << written.size() << " bytes, "
                   << summary.records << " records, " << summary.dataBytes << " data bytes\n";
    return kExitSuccess;
}

int RunFirmwareDecode(Context& context, const Arguments& arguments) {
    Output& output = context.Out();
    if (const int files = TwoFiles(output, arguments, "firmware decode"); files != kExitSuccess)
        return files;
    std::vector<std::uint8_t> text;
    std::string error;
    if (!ReadInputFile(arguments[0], kMaxFirmwareFile, text, error)) {
        output.Error(error);
        return kExitFile;
    }
    ExchangeNibbles(text);
    std::string why;
    if (!ValidateFirmwareText(text, &why)) {
        output.Error(arguments[0] + " is not a firmware file: " + why);
        return kExitFile;
    }
    return Finish(context, arguments, text, text);
}

int RunFirmwareEncode(Context& context, const Arguments& arguments) {
    Output& output = context.Out();
    if (const int files = TwoFiles(output, arguments, "firmware encode"); files != kExitSuccess)
        return files;
    std::vector<std::uint8_t> plain;
    std::string error;
    if (!ReadInputFile(arguments[0], kMaxFirmwareFile, plain, error)) {
        output.Error(error);
        return kExitFile;
    }
    bool changed = false;
    const std::vector<std::uint8_t> text = WithCrLf(plain, changed);
    std::string why;
    if (!ValidateFirmwareText(text, &why)) {
        output.Error(arguments[0] + " is not Intel HEX the dongle can take: " + why);
        return kExitFile;
    }
    if (changed) output.Human() << "Line ends changed from LF to CR LF\n";
    output.Result()["line_ends_changed"] = changed;
    std::vector<std::uint8_t> stored = text;
    ExchangeNibbles(stored);
    return Finish(context, arguments, text, stored);
}

constexpr const char* kFirmwareAbout =
    "The dongle firmware file stores Intel HEX text with the two nibbles of every byte\n"
    "exchanged. decode turns such a file into plain HEX text, encode the other way. Both\n"
    "check the text as the firmware download does (records, lengths, checksums, an end\n"
    "record) and refuse a text that fails. encode writes CR LF line ends, which the\n"
    "download needs, also for a text with bare LF line ends.\n";

}  // namespace

void AddFirmwareCommands(CommandSet& commands) {
    auto decode = std::make_shared<Arguments>();
    CLI::App& in =
        commands.Add({"firmware decode", "TBH HEX", "DWTB.TBH OUT.hex",
                      "firmware file to plain Intel HEX", kFirmwareAbout, ""},
                     [decode](Context& context) { return RunFirmwareDecode(context, *decode); });
    in.add_option("DWTB.TBH", (*decode)[0]);
    in.add_option("OUT.hex", (*decode)[1]);

    auto encode = std::make_shared<Arguments>();
    CLI::App& out =
        commands.Add({"firmware encode", "HEX TBH", "IN.hex OUT.TBH",
                      "plain Intel HEX to firmware file", kFirmwareAbout, ""},
                     [encode](Context& context) { return RunFirmwareEncode(context, *encode); });
    out.add_option("IN.hex", (*encode)[0]);
    out.add_option("OUT.TBH", (*encode)[1]);
}

}  // namespace qdm::cli
