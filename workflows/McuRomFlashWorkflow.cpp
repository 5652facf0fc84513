#include "workflows/McuRomFlashWorkflow.h"

#include <array>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Usbfunctions_old.h"
#include "state/Mainprocess.h"
#include "workflows/DongleCheck.h"
#include "workflows/RomImage.h"

namespace qdm {

namespace {

struct SizeRow {
    RomKind kind;
    std::size_t fileLength;
    std::string_view text;
    std::uint32_t blocks;
};

// The chip size comes from the file's length alone; a container carries its 16-byte header.
constexpr std::array<SizeRow, 8> kSizeTable = {{
    {RomKind::Container, 32784, "RV24-256kBits", 2},
    {RomKind::Container, 65552, "RV24-512kBits", 4},
    {RomKind::Container, 131088, "RV24-1MBits", 8},
    {RomKind::Container, 262160, "RV24-2MBits", 16},
    {RomKind::Raw, 32768, "RV20-256kBits", 2},
    {RomKind::Raw, 65536, "RV20-512kBits", 4},
    {RomKind::Raw, 131072, "RV20-1MBits", 8},
    {RomKind::Raw, 262144, "RV20-2MBits", 16},
}};

const SizeRow* FindSize(RomKind kind, std::size_t fileLength) {
    for (const SizeRow& row : kSizeTable)
        if (row.kind == kind && row.fileLength == fileLength) return &row;
    return nullptr;
}

class McuRomRun {
  public:
    McuRomRun(OperatorPanel& panel, const McuRomOptions& options)
        : panel_(panel), options_(options), state_(State()) {
        details_.board = kMcuRomBoard;
    }

    RunOutcome Run() {
        state_.OperationBusy = 1;
        panel_.SetDownloadEnabled(false);
        RunOutcome outcome;
        try {
            outcome = Flash();
        } catch (const std::exception& e) {
            outcome = Stop(RunResult::Failed, e.what());
        }
        state_.OperationBusy = 0;
        panel_.SetDownloadEnabled(true);
        outcome.details = details_;
        return outcome;
    }

  private:
    RunOutcome Flash() {
        switch (options_.scope.operation) {
            case BoardOperation::Download:
            case BoardOperation::Verify:
                break;
            case BoardOperation::Read:
                return Read(options_.scope.units);
            case BoardOperation::BlankCheck:
                return BlankCheck(options_.scope.units);
            case BoardOperation::Erase:
                return Erase();
        }
        const bool expg = state_.ExpgMode == 1;
        std::string file;
        std::string label;
        if (expg) {
            file = ExpgFileName(state_.ExpgFileText);
            label = state_.ExpgFileText;
        } else {
            const std::optional<std::string> chosen = panel_.ChooseRomFile();
            if (!chosen) return {RunResult::Cancelled, ""};
            file = *chosen;
            label = *chosen;
        }
        panel_.SetFileLabel(label);
        details_.file = file;

        auto loaded = LoadRomFile(file, HeaderUse::ChipCodeAndByte12, options_.agent);
        if (!loaded) return Stop(RunResult::FileError, loaded.error().reason);
        const RomImage& rom = loaded.value();
        details_.NoteRom(rom);

        const SizeRow* size = FindSize(rom.Kind(), rom.FileLength());
        if (size == nullptr) {
            const bool container = rom.Kind() == RomKind::Container;
            return Stop(RunResult::FileError, !expg ? "Loading file format error!(0x00)"
                                              : container
                                                  ? "File load error!(0x00)[Er.Code=0x01,0x03]"
                                                  : "File load error!(0x00)[Er.Code=0x01,0x05]");
        }
        panel_.SetFileLabel(size->text);
        details_.chipType = size->text;
        const std::span<const std::uint8_t> image = rom.Buffer();

        if (options_.scope.operation == BoardOperation::Download) {
            if (RunOutcome erased = Erase(); !erased.Succeeded()) return erased;
            Blue(expg ? "Flash Blank Checking...(0x00)" : "Flashing Blank Checking...(x00)");
            if (!McuRomCompare(size->blocks, 1, {}))
                return Stop(RunResult::BlankCheck, "Flash Blank Check Fail!(0x00)");
            Blue("Flash Blank Check OK!(0x00)");

            Blue("Flashing Programming...(0x00)");
            if (!McuRomProgram(size->blocks, image))
                return Stop(RunResult::Program, "Flash Programming Fail!(0x00)");
            Blue("Flash Programed OK!(0x00)");
        }

        Blue("Flashing Verifying...(0x00)");
        if (!McuRomCompare(size->blocks, 0, image)) {
            ShowStatus(panel_, StatusColour::Red, "Flash Verify Fail!(0x00)");
            return {RunResult::Verify, "Flash Verify Fail!(0x00)"};
        }
        Blue("Flash Verify OK!(0x00)");
        panel_.SetFileLabel(label);
        return {RunResult::Success, "Flash Verify OK!(0x00)"};
    }

    RunOutcome Erase() {
        Blue("Flash Erasing.....(0x00)");
        if (!McuRomErase()) return Stop(RunResult::Erase, "Flash Erased Fail!!(0x00)");
        Blue("Flash Erase OK!(0x00)");
        return {RunResult::Success, "Flash Erase OK!(0x00)"};
    }

    RunOutcome BlankCheck(std::uint32_t blocks) {
        Blue("Flashing Blank Checking...(x00)");
        if (!McuRomCompare(blocks, 1, {}))
            return Stop(RunResult::BlankCheck, "Flash Blank Check Fail!(0x00)");
        Blue("Flash Blank Check OK!(0x00)");
        return {RunResult::Success, "Flash Blank Check OK!(0x00)"};
    }

    RunOutcome Read(std::uint32_t blocks) {
        Blue("Flash Reading...(0x00)");
        std::vector<std::uint8_t> data(std::size_t{blocks} * kMcuRomBlockSize, 0);
        if (!McuRomRead(blocks, data)) return Stop(RunResult::Verify, "Flash Read Fail!(0x00)");
        if (options_.scope.readBack != nullptr) *options_.scope.readBack = {std::move(data)};
        Blue("Flash Read OK!(0x00)");
        return {RunResult::Success, "Flash Read OK!(0x00)"};
    }

    void Blue(std::string_view text) { ShowStatus(panel_, StatusColour::Blue, text); }

    RunOutcome Stop(RunResult result, std::string message) {
        ShowStatus(panel_, StatusColour::Red, message);
        return {result, std::move(message)};
    }

    OperatorPanel& panel_;
    const McuRomOptions& options_;
    ProgramState& state_;
    RunDetails details_;
};

}  // namespace

RunOutcome McuRomFlashWorkflow(OperatorPanel& panel, const McuRomOptions& options) {
    if (OperationInProgress()) return {RunResult::Failed, kOperationInProgress};
    return McuRomRun(panel, options).Run();
}

}  // namespace qdm
