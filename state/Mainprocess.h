#pragma once
// Program-wide tables and state shared by the window, the workflows and the board operations.
// Everything here is touched from the GUI thread only.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qdm {

inline constexpr std::string_view ExpectedVID = "0x04B4";
inline constexpr std::string_view ExpectedPID = "0x1004";

inline constexpr std::array<std::string_view, 10> AgentNames = {
    "NoAgentExist", "Morvik", "Teluma", "Brenz-Co", "K.W.",
    "Quelvo",       "PB",     "Brask",  "Tivane",   "QRV",
};

inline constexpr std::size_t kChipTypeCount = 13;
inline constexpr std::array<std::string_view, kChipTypeCount> ChipTypeNames = {
    "AUTO",  "QL040", "QL020", "QM005", "QM010", "QM010C",    "QM020",
    "QM040", "QM080", "QN020", "QN040", "QN080", "Demoboard",
};
// The combo box's own list; kept apart from ChipTypeNames although the contents are equal.
inline constexpr std::array<std::string_view, kChipTypeCount> ChipTypeItems = ChipTypeNames;

inline constexpr std::int32_t kBuiltInAgentIndex = 6;  // "PB"

// Client board kinds as DetectClientBoard reports them.
enum : std::uint8_t {
    kBoardNone = 0,
    kBoardK3r8 = 1,
    kBoardK3r1 = 2,
    kBoardDemo = 3,
};

struct ProgramState {
    std::int32_t AgentIndex = kBuiltInAgentIndex;
    std::int32_t SavedAgentIndex = kBuiltInAgentIndex;
    std::uint8_t FileNameRuleEnabled = 1;
    std::int32_t DemoboardChipRow = 10;
    std::uint8_t OperationBusy = 0;
    std::uint8_t DongleConnected = 0;
    std::uint8_t FirmwareLoaded = 0;
    std::string DetectedVID;
    std::string DetectedPID;
    std::string ProgressText;
    std::uint8_t ProgressValue = 0;  // 0..128
    std::uint8_t ClientBoardKind = kBoardNone;
    std::uint32_t ImageChecksum = 0;
    std::uint8_t ExpgMode = 0;
    std::string ExpgFileText;
    // The dongle firmware text with its nibbles exchanged back; its size is FirmwareTextLength.
    std::vector<std::uint8_t> FirmwareText;
    std::uint8_t DumpFilesEnabled = 1;
    // Native handle of the main window, 0 where there is none (the command line tool).
    std::uintptr_t MainWindowHandle = 0;

    [[nodiscard]] std::size_t FirmwareTextLength() const { return FirmwareText.size(); }
};

// The one process-wide instance.
ProgramState& State();

// Back to the values at load; for tests and for a front end that starts afresh.
void ResetProgramState();

// The state part of FormCreate: remembers the built-in agent and applies the "EXPG" command line.
// `arguments` are the command-line arguments after the program name. Returns true when the file
// label must show ExpgFileText.
bool FormCreateState(std::span<const std::string> arguments);

// The file that ExpgFileText names: the text without the one trailing blank the join leaves.
std::string ExpgFileName(std::string_view expgFileText);

}  // namespace qdm
