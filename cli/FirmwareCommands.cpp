#include <array>
#include <ostream>
#include <string>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"

namespace qdm::cli {

namespace {

// The EZ-USB's memory is 16 KiB at most; even generous HEX text of it stays far below this.
constexpr std::size_t kMaxFirmwareFile = 4 * 1024 * 1024;

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

bool TwoFiles(Output& output, const Arguments& arguments, const char* command) {
    if (arguments.size() == 2 && !arguments[0].empty() && arguments[0][0] != '-' &&
        !arguments[1].empty() && arguments[1][0] != '-')
        return true;
    output.Error(std::string(command) + " needs an input and an output file");
    return false;
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

}  // namespace

int RunFirmwareDecode(Context& context, const Arguments& arguments) {
    Output& output = context.Out();
    if (!TwoFiles(output, arguments, "firmware decode")) return kExitUsage;
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
    if (!TwoFiles(output, arguments, "firmware encode")) return kExitUsage;
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

}  // namespace qdm::cli
