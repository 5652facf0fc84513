#include "workflows/DownloadWorkflow.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "state/Mainprocess.h"
#include "usb/FirmwareLoader.h"
#include "workflows/DemoboardReset.h"
#include "workflows/DongleCheck.h"
#include "workflows/McuRomFlashWorkflow.h"
#include "workflows/RomImage.h"
#include "workflows/boards/ClientBoard.h"

namespace qdm {

std::uint64_t CountOneBits(std::span<const std::uint8_t> bytes) {
    // Eight bytes at a time with plain arithmetic: without a popcount instruction in the target,
    // std::popcount is a library call per value, and whole images go through here.
    constexpr std::uint64_t k55 = 0x5555555555555555;
    constexpr std::uint64_t k33 = 0x3333333333333333;
    constexpr std::uint64_t k0F = 0x0F0F0F0F0F0F0F0F;
    constexpr std::uint64_t k01 = 0x0101010101010101;
    std::uint64_t ones = 0;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t x = 0;
        std::memcpy(&x, bytes.data() + i, sizeof x);
        x -= (x >> 1) & k55;
        x = (x & k33) + ((x >> 2) & k33);
        x = (x + (x >> 4)) & k0F;
        ones += (x * k01) >> 56;
    }
    for (; i < bytes.size(); ++i)
        ones += static_cast<std::uint64_t>(std::popcount(bytes[i]));
    return ones;
}

namespace {

using boards::ClientBoard;
using boards::Stage;
using boards::StageResult;

constexpr std::uint32_t kUnitsPerCountRegion = 2;  // 32 KiB bit-count regions
constexpr std::size_t kRandomOption = 231;         // the option page's random byte
constexpr std::string_view kReadOk = "Serial Flash Data Read OK!";
constexpr std::string_view kReadUsbFail = "Serial Flash Data Read Fail !(DATA-USB)";
// Every board's flash chips hold 2 MiB; the "Demoboard" row stands for the whole chip.
constexpr std::uint32_t kFlashChipSize = ChipPropertyTable.back().imageSize;

constexpr std::uint32_t CeilDiv(std::uint64_t a, std::uint32_t b) {
    return static_cast<std::uint32_t>((a + b - 1) / b);
}

// A chip row the combo box or the state names; a panel with other items cannot index past it.
const ChipProperties& Row(int row) {
    const ChipProperties* properties = ChipRow(row);
    if (properties == nullptr) throw std::out_of_range("no chip type row " + std::to_string(row));
    return *properties;
}

std::string HexByte(std::uint8_t b) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(b));
    return text;
}

// A run that ends early carries its outcome up through the stages.
struct Stop {
    RunOutcome outcome;
};

class DownloadRun {
  public:
    DownloadRun(OperatorPanel& panel, const DownloadOptions& options)
        : panel_(panel),
          fast_(options.fast),
          agent_(options.agent),
          scope_(options.scope),
          random_(options.random != nullptr ? *options.random : DefaultRandomByteSource()),
          state_(State()) {}

    RunOutcome Run() {
        RunOutcome outcome = Stages();
        // The MCU-ROM flow reports what it learnt itself.
        if (!handedOver_) outcome.details = details_;
        return outcome;
    }

  private:
    RunOutcome Stages() {
        try {
            CheckDongle();
            if (handedOver_) return *handedOver_;
            FindBoard();
        } catch (const Stop& stop) {
            return stop.outcome;
        } catch (const std::exception& e) {
            // Before the file dialog nothing of the board is in use yet.
            PlainExit();
            return Red(RunResult::Failed, e.what());
        }
        try {
            if (!LoadImage()) return Ended({RunResult::Cancelled, ""});
            OpenBoard();
            switch (scope_.operation) {
                case BoardOperation::Download:
                    Erase();
                    BlankCheck();
                    Program();
                    WriteOptionPages();
                    VerifyData();
                    VerifyOptionPage();
                    break;
                case BoardOperation::Verify:
                    VerifyData();
                    ExpectOptionPages();
                    VerifyOptionPage();
                    break;
                case BoardOperation::Read:
                    ReadBack();
                    break;
                case BoardOperation::BlankCheck:
                    BlankCheck();
                    break;
                case BoardOperation::Erase:
                    // A board that judges its erase by the blank check gets it here as well.
                    Erase();
                    if (board_->Supports(Stage::BlankCheck)) BlankCheck();
                    break;
            }
            CloseInterface();
        } catch (const Stop& stop) {
            return stop.outcome;
        } catch (const std::exception& e) {
            SwitchOffAfterFailure();
            return Ended(RunOutcome{RunResult::Failed, e.what()}, true);
        }
        return Ended({RunResult::Success, lastStatus_});
    }

    // Whether the board has the stages the operation needs.
    std::optional<std::string> Refusal() const {
        const std::string name(board_->Name());
        if (scope_.operation == BoardOperation::Read && !board_->Supports(Stage::ReadBack))
            return "The " + name + " cannot read its flash back: it verifies by one-bit counts";
        if (scope_.operation == BoardOperation::BlankCheck && !board_->Supports(Stage::BlankCheck))
            return "The " + name + " has no blank check of its own";
        return std::nullopt;
    }

    // --- Exits ---------------------------------------------------------------------------------

    void PlainExit() {
        panel_.SetOperationControls(true);
        state_.OperationBusy = 0;
    }

    [[noreturn]] void PlainStop(RunResult result, std::string message) {
        PlainExit();
        throw Stop{{result, std::move(message)}};
    }

    // The message, the controls back, the board's interface off; no demoboard reset.
    [[noreturn]] void BoardExit(RunResult result, std::string message) {
        panel_.SetStatusText(message);
        PlainExit();
        board_->SwitchOff();
        throw Stop{{result, std::move(message)}};
    }

    // The stage's text on the status line, or the board exit with it.
    void Judge(RunResult failure, StageResult stage) {
        if (!stage.passed) BoardExit(failure, std::move(stage.text));
        Status(stage.text);
    }

    // The end step: the controls back and, after a download on a held board, its reset. A
    // failure shown in red must stay readable, so it is shown again after the reset's messages.
    RunOutcome Ended(RunOutcome outcome, bool red = false) {
        PlainExit();
        if (board_ && board_->Held() && !fast_) Btn_DBRstClick(panel_);
        if (red) ShowStatus(panel_, StatusColour::Red, outcome.message);
        return outcome;
    }

    // A board must not stay switched on after a run that broke off; a held board's reset
    // switches it off by itself.
    void SwitchOffAfterFailure() noexcept {
        if (!board_ || board_->Held()) return;
        try {
            board_->SwitchOff();
        } catch (const std::exception&) {
            // The dongle is past reaching; the run's own failure is what the operator sees.
        }
    }

    RunOutcome Red(RunResult result, std::string message) {
        ShowStatus(panel_, StatusColour::Red, message);
        return {result, std::move(message)};
    }

    [[noreturn]] void ChipTypeMissing() {
        PlainExit();
        panel_.ShowMessage("Please select the chip type!");
        throw Stop{{RunResult::ChipTypeMissing, "Please select the chip type!"}};
    }

    void Status(const std::string& text) {
        panel_.SetStatusText(text);
        lastStatus_ = text;
    }

    // --- Stage A: the dongle -------------------------------------------------------------------

    void CheckDongle() {
        const bool windows7 = !fast_ && IsWindows7Workstation();
        if (!ConfirmDongle()) {
            panel_.ShowMessage("USB Not Found!!");
            state_.OperationBusy = 0;
            throw Stop{{RunResult::NoDongle, "USB Not Found!!"}};
        }
        panel_.SetOperationControls(false);
        state_.OperationBusy = 1;
        if (!fast_ && !windows7 && state_.FirmwareLoaded == 0) LoadFirmware();
        state_.ImageChecksum = 0;
        state_.AgentIndex = state_.SavedAgentIndex;
        if (!QueryDongleIdentity()) {
            ShowStatus(panel_, StatusColour::Red, "Non-USB-Dongle version!!");
            PlainExit();
            panel_.SetDemoResetEnabled(false);
            handedOver_ = McuRomFlashWorkflow(panel_, McuRomOptions{agent_, scope_});
            panel_.SetDemoResetEnabled(true);
        }
    }

    void LoadFirmware() {
        std::array<std::uint8_t, 4> version{};
        if (!QueryHardwareVersion(version) || version[0] != 5 || version[1] != 1 ||
            version[3] != 0) {
            ShowStatus(panel_, StatusColour::Red, "USB Dongle hardware version error!");
            PlainStop(RunResult::DongleError, "USB Dongle hardware version error!");
        }
        // A dongle may leave the bus and come back once its new firmware starts; one that does
        // not come back has not taken the firmware.
        if (!DownloadFirmware(state_.FirmwareText, state_.MainWindowHandle, PumpMessages) ||
            !WaitForDongleAfterFirmware()) {
            ShowStatus(panel_, StatusColour::Red, "USB Dongle firmware download fail!");
            PlainStop(RunResult::FirmwareError, "USB Dongle firmware download fail!");
        }
        state_.FirmwareLoaded = 1;
    }

    // --- Stage B: the client board -------------------------------------------------------------

    void FindBoard() {
        if (!fast_) panel_.SetDemoResetVisible(false);
        state_.ClientBoardKind = DetectClientBoard();
        board_ = boards::MakeClientBoard(state_.ClientBoardKind);
        ShowStatus(panel_, StatusColour::Blue,
                   "USB Dongle Connected!, Client Board: " +
                       std::string(board_ ? board_->Name() : "None/Error"));
        // The run goes on without a board up to the file label; it stops when it would open one.
        boardName_ = board_ ? board_->Name() : boards::kNoBoardName;
        details_.board = boardName_;
        if (const auto refusal = board_ ? Refusal() : std::nullopt) {
            ShowStatus(panel_, StatusColour::Red, *refusal);
            PlainStop(RunResult::Unsupported, *refusal);
        }
        if (board_ && board_->Held()) {
            if (!fast_) panel_.SetDemoResetVisible(true);
            board_->Hold(panel_);
        }
    }

    // --- Stage C: file and image ---------------------------------------------------------------

    bool LoadImage() {
        // Only the download and the verify work with an image; the others cover the flash from
        // address 0 as far as asked.
        if (scope_.operation != BoardOperation::Download &&
            scope_.operation != BoardOperation::Verify) {
            image_ = {{}, scope_.units, CeilDiv(scope_.units, kUnitsPerCountRegion), 0};
            return true;
        }
        const std::optional<std::string> file = panel_.ChooseRomFile();
        if (!file) return false;
        details_.file = *file;
        auto loaded = LoadRomFile(
            *file, fast_ ? HeaderUse::ChipCodeOnly : HeaderUse::ChipCodeAndByte12, agent_);
        if (!loaded) throw Stop{Ended({RunResult::FileError, loaded.error().reason}, true)};
        rom_.emplace(std::move(loaded.value()));
        RomImage& rom = *rom_;
        details_.NoteRom(rom);
        const bool plain = board_ && board_->TakesPlainImage();
        const int selected = panel_.SelectedChipType();
        if (rom.Kind() == RomKind::Container) {
            panel_.SetFileLabel(boardName_ + " / ROM Version RV24");
            imageSize_ = rom.ImageLength();
            if (plain) {
                PrepareDemoboardImage(rom);
                chipCode_ = rom.ChipCode();
            } else if (fast_) {
                ChipCodeFromHeaderByte11(rom, selected);
            } else {
                ChipCodeFromChipIndex(rom, selected);
            }
            rangeFlag_ = !fast_ && rom.RangeFlag();
        } else {
            panel_.SetFileLabel(boardName_ + " / ROM Version RV20");
            if (selected < 1 && !plain) ChipTypeMissing();
            if (plain) {
                chipCode_ = Row(state_.DemoboardChipRow).code;
                imageSize_ = rom.FileLength();
                if (rom.FileLength() <= kLargestDemoboardDecode) PrepareDemoboardImage(rom);
            } else {
                chipCode_ = Row(selected).code;
                imageSize_ = Row(selected).imageSize;
            }
        }
        details_.chipCode = chipCode_;
        const ChipProperties* row = RowOfRun(plain && rom.Kind() == RomKind::Raw);
        details_.chipType = row != nullptr ? std::string(row->name) : std::string();
        CheckImageFits(row, plain);
        const std::uint32_t units = CeilDiv(imageSize_, kImageUnit);
        const std::uint32_t regions = CeilDiv(units, kUnitsPerCountRegion);
        // Whole units are programmed and whole regions counted; what the file does not cover is
        // erased flash, never whatever memory lay behind it.
        rom.PadTo(std::size_t{regions} * kUnitsPerCountRegion * kImageUnit);
        const std::uint64_t oneBits =
            CountOneBits(rom.Buffer().first(std::size_t{regions} * 2 * kImageUnit));
        image_ = {rom.Buffer(), units, regions, oneBits};
        return true;
    }

    // The row the chip code came from; a code from the header alone names its first row.
    const ChipProperties* RowOfRun(bool demoboardRaw) const {
        const int selected = panel_.SelectedChipType();
        return demoboardRaw ? ChipRow(state_.DemoboardChipRow)
               : selected > 0 && ChipRow(selected) != nullptr &&
                       ChipRow(selected)->code == chipCode_
                   ? ChipRow(selected)
                   : FirstRowWithCode(chipCode_);
    }

    // An image larger than its chip type, or than the flash chip itself, would run past the chip's
    // end and wrap onto its own start, and the verify would not see it: refused before anything
    // is erased. The demoboard takes whatever fits its flash.
    void CheckImageFits(const ChipProperties* row, bool plain) {
        const std::uint32_t limit =
            !plain && row != nullptr && row->imageSize > 0 ? row->imageSize : kFlashChipSize;
        if (imageSize_ <= limit) return;
        const std::string type = !plain && row != nullptr && row->imageSize > 0
                                     ? "chip type " + std::string(row->name)
                                     : std::string("the flash chip");
        throw Stop{Ended({RunResult::FileError, "The ROM image of " + std::to_string(imageSize_) +
                                                    " bytes is larger than " + type + " (" +
                                                    std::to_string(limit) + " bytes)."},
                         true)};
    }

    // The chip index of header byte 12 preselects the chip type; above 12 it names no row.
    void ChipCodeFromChipIndex(const RomImage& rom, int selected) {
        const std::uint8_t chipIndex = rom.ChipIndex() < kChipTypeCount ? rom.ChipIndex() : 0;
        if (chipIndex != 0) {
            chipCode_ = chipIndex;
            for (int i = 0; i < panel_.ChipTypeCount(); ++i)
                if (panel_.ChipTypeText(i) == ChipTypeNames[chipIndex]) panel_.SelectChipType(i);
            const int now = panel_.SelectedChipType();
            if (now > 0) chipCode_ = Row(now).code;
        } else {
            if (selected < 1) ChipTypeMissing();
            chipCode_ = Row(selected).code;
        }
    }

    // The fast download takes the chip code from header byte 11 and never changes the selection.
    void ChipCodeFromHeaderByte11(const RomImage& rom, int selected) {
        chipCode_ = rom.ChipCode();
        if (chipCode_ != 0) {
            if (selected > 0) chipCode_ = Row(selected).code;
        } else {
            if (selected < 1) ChipTypeMissing();
            chipCode_ = Row(selected).code;
        }
    }

    // --- Stage D: open and ID ------------------------------------------------------------------

    void OpenBoard() {
        if (!board_) {
            Status(std::string(boards::kNoBoardText));
            PlainStop(RunResult::NoBoard, std::string(boards::kNoBoardText));
        }
        if (!board_->SwitchOn()) Busy();
        bool result = board_->CheckId();
        if (result && board_->Supports(Stage::OptionRead)) {
            const std::optional<boards::OptionBlocks> blocks = board_->ReadOptionBlocks();
            result = blocks.has_value();
            if (result) {
                firstBlock_ = blocks->front();
                Carry(firstBlock_);
            }
        }
        if (!result) BoardExit(RunResult::IdCheck, "Serial-Flash ID Check fail!!");
        Status("Serial-Flash ID Check OK!");
    }

    // The fast download leaves the interface as it is when it would not switch on.
    [[noreturn]] void Busy() {
        const std::string message(board_->BusyText());
        Status(message);
        PlainExit();
        if (!fast_) board_->SwitchOff();
        throw Stop{{RunResult::BoardBusy, message}};
    }

    // Option bytes 229, 228 and 227 of the first chip survive the erase when it carries them.
    void Carry(std::span<const std::uint8_t> block) {
        carried_ = CarriedBytesFromBlock(block);
        if (!carried_.Carried()) return;
        Status(" - " + HexByte(carried_.bytes[2]) + "." + HexByte(carried_.bytes[1]) + "." +
               HexByte(carried_.bytes[0]));
    }

    // --- Stage E: erase ------------------------------------------------------------------------

    void Erase() {
        panel_.SetProgressDisplay(true);
        Status("Erase and Blank Check!");
        panel_.ProcessMessages();
        const bool result = board_->Erase();
        panel_.SetProgressDisplay(false);
        if (!result) BoardExit(RunResult::Erase, "Chip Erase fail!");
        Status("Chip Erase OK!");
    }

    // --- Stage F: blank check ------------------------------------------------------------------

    void BlankCheck() {
        panel_.SetProgressDisplay(true);
        // A board without a blank check of its own has its erase polled until it is done.
        StageResult result = board_->Supports(Stage::BlankCheck)
                                 ? board_->BlankCheck(image_)
                                 : StageResult{true, std::string(boards::kBlankCheckOk)};
        panel_.SetProgressDisplay(false);
        Judge(RunResult::BlankCheck, std::move(result));
    }

    // --- Stage G: program ----------------------------------------------------------------------

    void Program() {
        panel_.SetProgressDisplay(true);
        const bool result = board_->Program(image_);
        panel_.SetProgressDisplay(false);
        if (!result) BoardExit(RunResult::Program, "Serial Flash Page Programming error!!");
        Status("Serial Flash Page Programming OK!!");
    }

    // --- Stage H: option pages -----------------------------------------------------------------

    void WriteOptionPages() {
        const SysOptRequest request =
            SysOptRequestFromState(chipCode_, panel_.SelectedChipType(), rangeFlag_, carried_);
        optionPage_ =
            fast_ ? BuildReducedSysOptPage(request, random_) : BuildSysOptPage(request, random_);
        writes_ = PagesToWrite();
        panel_.SetProgressDisplay(true);
        // On a board without option pages the program stage's result stands.
        bool result = true;
        // A write that did not reach the dongle stops the run: the page would be missing.
        const std::size_t firstGroup = std::min(writes_.size(), kFirstOptionGroupSize);
        for (std::size_t i = 0; i < firstGroup && result; ++i)
            result = board_->ProgramPage(writes_[i].content, writes_[i].pageIndex);
        panel_.SetProgressDisplay(false);
        if (!result) BoardExit(RunResult::Program, "Serial Flash Page Programming error!!");
        Status("Serial Flash Page Programming OK!!");
        for (std::size_t i = firstGroup; i < writes_.size(); ++i) {
            if (!board_->ProgramPage(writes_[i].content, writes_[i].pageIndex))
                BoardExit(RunResult::Program, "Serial Flash Page Programming error!!");
        }
    }

    // The pages the run writes at the top of the page space: none on a board without option
    // pages, only the option page in the fast download, else the option page and the eleven
    // parameter pages.
    std::vector<OptionPageWrite> PagesToWrite() const {
        if (!board_->Supports(Stage::OptionPages)) return {};
        if (fast_) return {{kSysOptPageIndex, optionPage_}};
        const auto all = OptionPageWriteOrder(optionPage_);
        return {all.begin(), all.end()};
    }

    // --- Stage H': the option pages a verify expects ------------------------------------------

    // What the download would have written at the top of the page space. Only its random byte
    // and the bytes it carried over cannot be known beforehand: they are taken as the first chip
    // holds them, so every other byte of every chip's pages is checked.
    void ExpectOptionPages() {
        if (!board_->Supports(Stage::VerifyOptionPage)) return;
        class ChipsRandomByte final : public RandomByteSource {
          public:
            explicit ChipsRandomByte(std::uint8_t value) : value_(value) {}
            std::uint8_t NextByte() override { return value_; }

          private:
            std::uint8_t value_;
        } random(OptionByteFromBlock(firstBlock_, kRandomOption).value_or(0xFF));
        const SysOptRequest request =
            SysOptRequestFromState(chipCode_, panel_.SelectedChipType(), rangeFlag_, carried_);
        optionPage_ =
            fast_ ? BuildReducedSysOptPage(request, random) : BuildSysOptPage(request, random);
        writes_ = PagesToWrite();
    }

    // --- Stage R: read -------------------------------------------------------------------------

    void ReadBack() {
        panel_.SetProgressDisplay(true);
        std::optional<FlashData> data = board_->ReadData(scope_.units);
        panel_.SetProgressDisplay(false);
        if (!data) BoardExit(RunResult::Verify, std::string(kReadUsbFail));
        if (scope_.readBack != nullptr) *scope_.readBack = std::move(*data);
        Status(std::string(kReadOk));
    }

    // --- Stage I: data verify ------------------------------------------------------------------

    void VerifyData() {
        panel_.SetProgressDisplay(true);
        StageResult result = board_->VerifyData(panel_, image_);
        panel_.SetProgressDisplay(false);
        Judge(RunResult::Verify, std::move(result));
    }

    // --- Stage J: option verify ----------------------------------------------------------------

    void VerifyOptionPage() {
        panel_.SetProgressDisplay(true);
        StageResult result = board_->Supports(Stage::VerifyOptionPage)
                                 ? board_->VerifyOptionPage({chipCode_, optionPage_, writes_})
                                 : StageResult{true, std::string(boards::kDataVerifyOk)};
        // The flash work is done: a held board leaves its hold here.
        board_->Release(panel_);
        panel_.SetProgressDisplay(false);
        Judge(RunResult::Verify, std::move(result));
    }

    // --- Stage K -------------------------------------------------------------------------------

    void CloseInterface() { board_->SwitchOff(); }

    OperatorPanel& panel_;
    const bool fast_;
    const std::optional<std::int32_t> agent_;
    const OperationScope scope_;
    RandomByteSource& random_;
    ProgramState& state_;
    std::optional<RunOutcome> handedOver_;
    std::unique_ptr<ClientBoard> board_;
    std::string boardName_;
    std::optional<RomImage> rom_;
    std::size_t imageSize_ = 0;
    boards::BoardImage image_;
    std::uint8_t chipCode_ = 0;
    bool rangeFlag_ = false;
    CarriedOptionBytes carried_;
    std::vector<std::uint8_t> firstBlock_;  // block 4095 of the first chip, before any erase
    std::string lastStatus_;
    OptionPage optionPage_{};
    std::vector<OptionPageWrite> writes_;
    RunDetails details_;
};

}  // namespace

RunOutcome RunDownload(OperatorPanel& panel, const DownloadOptions& options) {
    if (OperationInProgress()) return {RunResult::Failed, kOperationInProgress};
    return DownloadRun(panel, options).Run();
}

}  // namespace qdm
