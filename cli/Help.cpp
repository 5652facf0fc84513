#include <cstdio>
#include <map>
#include <string>

#include "cli/ExitCodes.h"
#include "cli/Options.h"
#include "session/SessionOptions.h"
#include "session/SimFaults.h"

namespace qdm::cli {

namespace {

const std::map<std::string, std::string>& Helps() {
    static const std::map<std::string, std::string> helps = {
        {"detect",
         "Usage: qdm-writer-cli [global options] detect\n"
         "\n"
         "Finds the dongle and names its USB identifiers and hardware version, downloads the\n"
         "writer firmware when it is not running yet, confirms the writer firmware and names the\n"
         "client board. Exits 0 only when a writer dongle with a known client board answered.\n"},
        {"download",
         "Usage: qdm-writer-cli [global options] download ROMFILE [--chip NAME] [--fast]\n"
         "                                                  [--agent NAME]\n"
         "\n"
         "The whole programming cycle of the window's \"D O W N L O A D\" button on the client\n"
         "board: firmware download when needed, board detection, image preparation, erase,\n"
         "blank check, programming, option pages, data and option verify. A dongle that does not\n"
         "answer as a writer dongle gets the MCU-ROM flow instead. Each status line is printed as\n"
         "it changes; a progress bar runs during the long stages when the output is a terminal.\n"
         "\n"
         "  --chip NAME   chip type (AUTO, QL040, QL020, QM005, QM010, QM010C, QM020, QM040,\n"
         "                QM080, QN020, QN040, QN080, Demoboard); a raw image needs one, a\n"
         "                container names its own\n"
         "  --fast        the shorter \"Fast\" variant: no firmware download, chip code from\n"
         "                header byte 11, only the system option page, no demoboard reset\n"
         "  --agent NAME  take this agent's key (a name or 0-9) instead of searching for it, for\n"
         "                files the one-byte key test gets wrong (see `rom info`)\n"
         "\n"
         "The run is appended to the run log unless --no-log is given.\n"},
        {"mcurom",
         "Usage: qdm-writer-cli [global options] mcurom ROMFILE [--agent NAME]\n"
         "\n"
         "The MCU-ROM flash flow with the file from the command line: erase, blank check,\n"
         "programming and verify of the parallel flash behind an MCU-ROM dongle. The chip size\n"
         "comes from the file's length (32, 64, 128 or 256 KiB, plus 16 for a container).\n"
         "\n"
         "  --agent NAME  take this agent's key instead of searching for it\n"
         "\n"
         "The run is appended to the run log unless --no-log is given.\n"},
        {"reset-demoboard",
         "Usage: qdm-writer-cli [global options] reset-demoboard\n"
         "\n"
         "The window's \"Demoboard Reset\" button: switches the demoboard's interface off and\n"
         "releases the board from the hold a download keeps it in. Loads the writer firmware\n"
         "first when needed. Exits 8 when the client board is not the demoboard (nothing is\n"
         "done then).\n"},
        {"rom",
         "Usage: qdm-writer-cli rom info ROMFILE [--agent NAME]\n"
         "       qdm-writer-cli rom pack PLAIN OUT --agent NAME [--container --chip NAME "
         "[--range]]\n"
         "                                                      [--raw]\n"
         "\n"
         "ROM file tools that need no dongle; see `help rom info` and `help rom pack`.\n"},
        {"rom info",
         "Usage: qdm-writer-cli [global options] rom info ROMFILE [--agent NAME]\n"
         "\n"
         "What a ROM file holds: its kind (RV24 container or RV20 raw image), its lengths, the\n"
         "container header (chip code, range flag, chip index), the agent and key a download\n"
         "takes (the key search from the built-in agent PB, or --agent), the image checksum, the\n"
         "first plain bytes, and every agent whose key passes the one-byte key test. More than\n"
         "one such agent means the search may take the wrong one: then name the right one with\n"
         "--agent on download or mcurom.\n"},
        {"rom pack",
         "Usage: qdm-writer-cli [global options] rom pack PLAIN OUT --agent NAME\n"
         "                                      [--container --chip NAME [--range]] [--raw]\n"
         "\n"
         "Scrambles the plain image PLAIN with the agent's key into OUT:\n"
         "  --container   an RV24 container: 16-byte \"QDMROM\" header with the chip type's code\n"
         "                and index (--chip) and the address-range flag (--range), then the\n"
         "                chained image\n"
         "  --raw         an RV20 raw file in the raw-file form; only for images of exactly 32,\n"
         "                64, 128 or 256 KiB\n"
         "  (neither)     an RV20 raw file in the chained form; refused for those four sizes,\n"
         "                which loading would read as the raw-file form\n"
         "OUT is replaced only once it is written whole. A warning says when the one-byte key\n"
         "test would not find the agent again.\n"},
        {"firmware",
         "Usage: qdm-writer-cli firmware decode DWTB.TBH OUT.hex\n"
         "       qdm-writer-cli firmware encode IN.hex OUT.TBH\n"
         "\n"
         "The dongle firmware file stores Intel HEX text with the two nibbles of every byte\n"
         "exchanged. decode turns such a file into plain HEX text, encode the other way. Both\n"
         "check the text as the firmware download does (records, lengths, checksums, an end\n"
         "record) and refuse a text that fails. encode writes CR LF line ends, which the\n"
         "download needs, also for a text with bare LF line ends.\n"},
    };
    return helps;
}

std::string ExitTable() {
    std::string text = "Exit status:\n";
    for (const ExitCodeRow& row : kExitCodeTable) {
        char line[160];
        std::snprintf(line, sizeof line, "  %2d  %-12s %s\n", row.code,
                      std::string(row.name).c_str(), std::string(row.meaning).c_str());
        text += line;
    }
    return text;
}

}  // namespace

std::optional<std::string> CommandHelp(const std::string& command) {
    if (command == "firmware decode" || command == "firmware encode") return Helps().at("firmware");
    const auto found = Helps().find(command);
    if (found == Helps().end()) return std::nullopt;
    return found->second;
}

std::string UsageText() {
    return "Usage: qdm-writer-cli [global options] COMMAND [arguments]\n"
           "\n"
           "Commands:\n"
           "  detect                    find the dongle, load its firmware when needed, name the\n"
           "                            client board\n"
           "  download ROMFILE          program the client board (--chip, --fast, --agent)\n"
           "  mcurom ROMFILE            program an MCU-ROM dongle's flash (--agent)\n"
           "  reset-demoboard           release the demoboard\n"
           "  rom info ROMFILE          kind, header, agent and key candidates, checksum\n"
           "  rom pack PLAIN OUT        scramble a plain image into a container or raw file\n"
           "  firmware decode TBH HEX   firmware file to plain Intel HEX\n"
           "  firmware encode HEX TBH   plain Intel HEX to firmware file\n"
           "  help [COMMAND]            this text, or the help of one command\n"
           "\n"
           "Global options:\n" +
           session::SessionOptionsHelp() +
           "  --no-log            do not append download and mcurom runs to the run log\n"
           "  --log FILE          append them to FILE instead of the run log in the user's data\n"
           "                      folder ($XDG_DATA_HOME/qdm-writer/runs.jsonl)\n"
           "  -q, --quiet         no status lines or progress; only errors, on stderr\n"
           "  --json              print one JSON result object on stdout; the status lines go\n"
           "                      to stderr\n"
           "  -h, --help          this text; after a command, that command's help\n"
           "  --version           the program's version\n"
           "\n" +
           session::SimFaultHelp() + "\n" + ExitTable();
}

}  // namespace qdm::cli
