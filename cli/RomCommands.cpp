#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/ExitCodes.h"
#include "cli/Files.h"
#include "cli/Options.h"
#include "state/Mainprocess.h"
#include "workflows/ChipProperties.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/RomImage.h"
#include "workflows/RomInspect.h"
#include "workflows/RunLog.h"

namespace qdm::cli {

namespace {

using Json = nlohmann::ordered_json;

std::string AgentText(std::int32_t agent) {
    return std::string(AgentName(agent)) + " (index " + std::to_string(agent) + ", key " +
           HexValue(AgentKey(agent), 2) + ")";
}

// The chip types that carry a code, e.g. "QL020, QM020" for 0x03.
std::string ChipTypesWithCode(std::uint8_t code) {
    std::string names;
    for (const ChipProperties& row : ChipPropertyTable) {
        if (row.code != code) continue;
        if (!names.empty()) names += ", ";
        names += row.name;
    }
    return names;
}

Json AgentJson(std::int32_t agent) {
    return {{"name", std::string(AgentName(agent))},
            {"index", agent},
            {"key", HexValue(AgentKey(agent), 2)}};
}

struct InfoArguments {
    std::string file;
    std::optional<std::int32_t> agent;
};

int RunRomInfo(Context& context, const InfoArguments& arguments) {
    Output& output = context.Out();
    const std::optional<std::string> file =
        arguments.file.empty() ? std::nullopt : std::optional(arguments.file);
    const std::optional<std::int32_t>& agent = arguments.agent;
    if (!file) {
        output.Error("rom info needs a ROM file");
        return kExitUsage;
    }
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!ReadInputFile(*file, kMaxRomFileLength, bytes, error)) {
        output.Error(error);
        return kExitFile;
    }
    const auto inspected = InspectRom(std::move(bytes), State().SavedAgentIndex, agent);
    if (!inspected) {
        output.Error(*file + ": " + inspected.error().reason);
        return kExitFile;
    }
    const RomInfo& info = inspected.value();
    const bool container = info.kind == RomKind::Container;
    std::ostream& out = output.Human();
    Json& result = output.Result();

    result["file"] = *file;
    result["kind"] = std::string(RomVersionText(info.kind));
    result["form"] = container ? "container" : info.rawFileForm ? "raw-file" : "chained";
    result["file_length"] = info.fileLength;
    result["image_length"] = info.imageLength;
    out << "File: " << *file << "\n";
    out << "Kind: " << RomVersionText(info.kind)
        << (container          ? " (container, chained image)"
            : info.rawFileForm ? " (raw image in the raw-file form)"
                               : " (raw image, taken as chained form)")
        << "\n";
    out << "File length: " << info.fileLength << " bytes\n";
    out << (container ? "Payload length: " : "Image length: ") << info.imageLength << " bytes\n";
    if (container) {
        const std::string codeNames = ChipTypesWithCode(info.chipCode);
        const bool indexKnown = info.chipIndex < ChipTypeNames.size();
        result["header"] = {
            {"chip_code", HexValue(info.chipCode, 2)},
            {"chip_code_types", codeNames},
            {"range_flag", info.rangeFlag},
            {"chip_index", info.chipIndex},
            {"chip_index_type",
             indexKnown ? Json(std::string(ChipTypeNames[info.chipIndex])) : Json(nullptr)}};
        out << "Header chip code: " << HexValue(info.chipCode, 2)
            << (codeNames.empty() ? " (no chip type)" : " (" + codeNames + ")") << "\n";
        out << "Header range flag: " << (info.rangeFlag ? 1 : 0) << "\n";
        out << "Header chip index: " << static_cast<unsigned>(info.chipIndex)
            << (info.chipIndex == 0 ? " (none: the download needs --chip)"
                : indexKnown        ? " (" + std::string(ChipTypeNames[info.chipIndex]) + ")"
                                    : " (no such chip type)")
            << "\n";
    } else {
        result["header"] = nullptr;
    }

    Json agentJson = AgentJson(info.agentIndex);
    agentJson["forced"] = info.agentForced;
    agentJson["key_passed"] = info.keyPassed;
    result["agent"] = agentJson;
    Json searchJson = AgentJson(info.searchAgentIndex);
    searchJson["passed"] = info.searchPassed;
    result["search"] = searchJson;
    out << "Agent: " << AgentText(info.agentIndex)
        << (info.agentForced    ? ", named with --agent"
            : info.searchPassed ? ", found by the key search"
                                : ", no key passed: the built-in agent stands")
        << "\n";
    if (info.agentForced) {
        out << "Key search would take: " << AgentText(info.searchAgentIndex)
            << (info.searchPassed ? "" : " (no key passed)") << "\n";
    }
    result["checksum"] = HexValue(info.checksum, 8);
    result["first_plain_bytes"] = HexBytes(info.firstPlainBytes);
    out << "Checksum: " << HexValue(info.checksum, 8) << "\n";
    out << "First plain bytes: " << HexBytes(info.firstPlainBytes) << "\n";

    Json candidates = Json::array();
    std::string list;
    for (const AgentCandidate& c : info.candidates) {
        Json one = AgentJson(c.agentIndex);
        one["first_plain"] = HexValue(c.firstPlain, 2);
        candidates.push_back(one);
        if (!list.empty()) list += ", ";
        list += std::string(AgentName(c.agentIndex)) + " (" + HexValue(c.firstPlain, 2) + ")";
    }
    result["candidates"] = candidates;
    out << "Agents whose key passes the first-byte test: " << (list.empty() ? "none" : list)
        << "\n";
    if (info.candidates.size() > 1) {
        output.Warn("the one-byte key test is ambiguous for this file: " +
                    std::to_string(info.candidates.size()) +
                    " agents pass; if the key search takes the wrong one, name the right one "
                    "with --agent");
    } else if (info.candidates.empty()) {
        output.Warn(
            "no agent's key passes the first-byte test; the image may be damaged or "
            "made for another program");
    }
    return kExitSuccess;
}

struct PackArguments {
    std::string plain;
    std::string out;
    std::optional<std::int32_t> agent;
    std::optional<int> chip;
    bool container = false;
    bool raw = false;
    bool range = false;
};

int RunRomPack(Context& context, const PackArguments& arguments) {
    Output& output = context.Out();
    const std::vector<std::string> files = {arguments.plain, arguments.out};
    const std::optional<std::int32_t>& agent = arguments.agent;
    const std::optional<int>& chip = arguments.chip;
    const bool container = arguments.container;
    const bool raw = arguments.raw;
    const bool range = arguments.range;
    const char* misuse =
        files[0].empty() || files[1].empty() ? "rom pack needs a plain image and an output file"
        : !agent                             ? "rom pack needs --agent NAME"
        : container && raw                   ? "--container and --raw exclude each other"
        : container && !chip                 ? "--container needs --chip NAME"
        : !container && (chip || range)      ? "--chip and --range belong to --container"
                                             : nullptr;
    if (misuse != nullptr) {
        output.Error(misuse);
        return kExitUsage;
    }
    if (const auto clash = OutputOverInput(files[0], files[1])) {
        output.Error(*clash);
        return kExitFile;
    }

    std::vector<std::uint8_t> plain;
    std::string error;
    if (!ReadInputFile(files[0], kMaxContainerPayload, plain, error)) {
        output.Error(error);
        return kExitFile;
    }
    if (plain.size() < kMinImageLength) {
        output.Error(files[0] + ": an image needs at least " + std::to_string(kMinImageLength) +
                     " bytes");
        return kExitFile;
    }
    const std::uint8_t key = AgentKey(*agent);
    RomOutcome<std::vector<std::uint8_t>> packed = std::vector<std::uint8_t>{};
    const char* form = "chained";
    if (container) {
        const ChipProperties& row = ChipPropertyTable[static_cast<std::size_t>(*chip)];
        packed = WrapRomContainer(MakeChainedImage(plain, key), row.code,
                                  static_cast<std::uint8_t>(*chip), range);
        form = "container";
    } else if (raw) {
        packed = MakeRawFileImage(plain, key);
        form = "raw-file";
    } else if (IsRawFileFormSize(plain.size())) {
        output.Error("an image of " + std::to_string(plain.size()) +
                     " bytes in a raw file is read as the raw-file form; use --raw or "
                     "--container");
        return kExitUsage;
    } else {
        packed = MakeChainedImage(plain, key);
    }
    if (!packed) {
        output.Error(files[0] + ": " + packed.error().reason);
        return kExitFile;
    }
    if (!WriteOutputFile(files[1], packed.value(), error)) {
        output.Error(error);
        return kExitFile;
    }

    Json& result = output.Result();
    result["input"] = files[0];
    result["output"] = files[1];
    result["form"] = form;
    result["bytes"] = packed.value().size();
    result["agent"] = AgentJson(*agent);
    result["checksum"] = HexValue(ImageChecksum(plain), 8);
    output.Human() << "Wrote " << files[1] << ": " << form << ", " << packed.value().size()
                   << " bytes, agent " << AgentText(*agent) << ", checksum "
                   << HexValue(ImageChecksum(plain), 8) << "\n";
    if (container) {
        const ChipProperties& row = ChipPropertyTable[static_cast<std::size_t>(*chip)];
        result["chip_type"] = std::string(row.name);
        result["chip_code"] = HexValue(row.code, 2);
        result["range_flag"] = range;
    }

    // A download finds the agent by the one-byte key test; say when it would not find this one.
    const auto check = InspectRom(packed.value(), State().SavedAgentIndex);
    if (check && check.value().searchAgentIndex != *agent) {
        output.Warn("the key search takes " +
                    std::string(AgentName(check.value().searchAgentIndex)) +
                    " for this file, not " + std::string(AgentName(*agent)) +
                    "; download it with --agent " + std::string(AgentName(*agent)));
    }
    return kExitSuccess;
}

}  // namespace

void AddRomCommands(CommandSet& commands) {
    auto info = std::make_shared<InfoArguments>();
    CLI::App& inspect = commands.Add(
        {"rom info", "ROMFILE", "ROMFILE [--agent NAME]",
         "kind, header, agent and key candidates, checksum",
         "What a ROM file holds: its kind (RV24 container or RV20 raw image), its lengths, the\n"
         "container header (chip code, range flag, chip index), the agent and key a download\n"
         "takes (the key search from the built-in agent PB, or --agent), the image checksum, the\n"
         "first plain bytes, and every agent whose key passes the one-byte key test. More than\n"
         "one such agent means the search may take the wrong one: then name the right one with\n"
         "--agent on download or mcurom.\n",
         ""},
        [info](Context& context) { return RunRomInfo(context, *info); });
    inspect.add_option("ROMFILE", info->file);
    AddAgentOption(inspect, info->agent,
                   "decode with this agent's key instead of searching for it");

    auto pack = std::make_shared<PackArguments>();
    CLI::App& make = commands.Add(
        {"rom pack", "PLAIN OUT",
         "PLAIN OUT --agent NAME\n[--container --chip NAME [--range]] [--raw]",
         "scramble a plain image into a container or raw file",
         "Scrambles the plain image PLAIN with the agent's key into OUT: an RV24 container\n"
         "(--container), an RV20 raw file in the raw-file form (--raw), or, with neither, an RV20\n"
         "raw file in the chained form, which is refused for images of 32, 64, 128 or 256 KiB:\n"
         "loading would read those as the raw-file form.\n",
         "OUT is replaced only once it is written whole, and never when it is PLAIN (also through\n"
         "a link). A warning says when the one-byte key test would not find the agent again.\n"},
        [pack](Context& context) { return RunRomPack(context, *pack); });
    make.add_option("PLAIN", pack->plain);
    make.add_option("OUT", pack->out);
    AddAgentOption(make, pack->agent, "the agent whose key scrambles the image");
    make.add_flag("--container", pack->container,
                  "an RV24 container: 16-byte \"QDMROM\" header with the chip type's code\n"
                  "and index (--chip) and the address-range flag (--range), then the\n"
                  "chained image");
    AddChipOption(make, pack->chip, "the container's chip type");
    make.add_flag("--range", pack->range, "set the container's address-range flag");
    make.add_flag("--raw", pack->raw,
                  "an RV20 raw file in the raw-file form; only for images of exactly 32,\n"
                  "64, 128 or 256 KiB");
}

}  // namespace qdm::cli
