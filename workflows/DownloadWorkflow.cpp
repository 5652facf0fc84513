#include "workflows/DownloadWorkflow.h"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "state/Mainprocess.h"
#include "protocol/Usbfunctions.h"
#include "usb/FirmwareLoader.h"
#include "workflows/DemoboardReset.h"
#include "workflows/DongleCheck.h"
#include "workflows/McuRomFlashWorkflow.h"
#include "workflows/RomImage.h"

namespace qdm {

std::string FailedChipList(std::uint8_t failed) {
    std::string list = "S-Flash Chip";
    bool first = true;
    for (int chip = 1; chip <= 4; ++chip) {
        if ((failed & (1u << (chip - 1))) == 0) continue;
        list += first ? ' ' : ',';
        list += static_cast<char>('0' + chip);
        first = false;
    }
    return list;
}

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

using std::chrono::milliseconds;

constexpr std::uint32_t kUnitsPerEraseBlock = 4;   // 64 KiB blocks of 16 KiB units
constexpr std::uint32_t kUnitsPerCountRegion = 2;  // 32 KiB bit-count regions
constexpr std::size_t kIdBlockBuffer = 1024;
constexpr std::size_t kChipCodeOption = 252;
constexpr milliseconds kDemoboardSettle{1000};

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
            Erase();
            BlankCheck();
            Program();
            WriteOptionPages();
            VerifyData();
            VerifyOptionPage();
            CloseInterface();
        } catch (const Stop& stop) {
            return stop.outcome;
        } catch (const std::exception& e) {
            SwitchOffAfterFailure();
            return Ended(RunOutcome{RunResult::Failed, e.what()}, true);
        }
        return Ended({RunResult::Success, "Serial Flash Data Verify OK !"});
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
        SwitchInterfaceOff();
        throw Stop{{result, std::move(message)}};
    }

    void SwitchInterfaceOff() {
        switch (state_.ClientBoardKind) {
            case kBoardK3r8:
                R8Enable(0);
                break;
            case kBoardK3r1:
                R1Enable(0);
                break;
            case kBoardDemo:
                DemoEnable(0);
                break;
            default:
                break;
        }
    }

    // The end step: the controls back and, after a download on the demoboard, its reset. A
    // failure shown in red must stay readable, so it is shown again after the reset's messages.
    RunOutcome Ended(RunOutcome outcome, bool red = false) {
        PlainExit();
        if (state_.ClientBoardKind == kBoardDemo && !fast_) Btn_DBRstClick(panel_);
        if (red) ShowStatus(panel_, StatusColour::Red, outcome.message);
        return outcome;
    }

    // A writer board must not stay switched on after a run that broke off; the demoboard's
    // reset switches it off by itself.
    void SwitchOffAfterFailure() noexcept {
        if (state_.ClientBoardKind == kBoardDemo) return;
        try {
            SwitchInterfaceOff();
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

    void Status(const std::string& text) { panel_.SetStatusText(text); }

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
            handedOver_ = McuRomFlashWorkflow(panel_, McuRomOptions{agent_});
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
        if (!DownloadFirmware(state_.FirmwareText, state_.MainWindowHandle) || !WaitForDongleAfterFirmware()) {
            ShowStatus(panel_, StatusColour::Red, "USB Dongle firmware download fail!");
            PlainStop(RunResult::FirmwareError, "USB Dongle firmware download fail!");
        }
        state_.FirmwareLoaded = 1;
    }

    // --- Stage B: the client board -------------------------------------------------------------

    void FindBoard() {
        if (!fast_) panel_.SetDemoResetVisible(false);
        state_.ClientBoardKind = DetectClientBoard();
        switch (state_.ClientBoardKind) {
            case kBoardK3r8:
                boardName_ = "OTP Writer K3.r8";
                break;
            case kBoardK3r1:
                boardName_ = "OTP Writer K3.r1";
                break;
            case kBoardDemo:
                boardName_ = "Speech OTP Demoboard";
                break;
            default:
                break;
        }
        ShowStatus(panel_, StatusColour::Blue,
                   "USB Dongle Connected!, Client Board: " +
                       (boardName_.empty() ? std::string("None/Error") : boardName_));
        if (boardName_.empty()) boardName_ = "None / Error";
        details_.board = boardName_;
        if (state_.ClientBoardKind == kBoardDemo) {
            if (!fast_) panel_.SetDemoResetVisible(true);
            DemoRunControl(0);
            panel_.Wait(kDemoboardSettle);
        }
    }

    // --- Stage C: file and image ---------------------------------------------------------------

    bool LoadImage() {
        const std::optional<std::string> file = panel_.ChooseRomFile();
        if (!file) return false;
        details_.file = *file;
        auto loaded = LoadRomFile(
            *file, fast_ ? HeaderUse::ChipCodeOnly : HeaderUse::ChipCodeAndByte12, agent_);
        if (!loaded) throw Stop{Ended({RunResult::FileError, loaded.error().reason}, true)};
        rom_.emplace(std::move(loaded.value()));
        RomImage& rom = *rom_;
        details_.NoteRom(rom);
        const bool demo = state_.ClientBoardKind == kBoardDemo;
        const int selected = panel_.SelectedChipType();
        if (rom.Kind() == RomKind::Container) {
            panel_.SetFileLabel(boardName_ + " / ROM Version RV24");
            imageSize_ = rom.ImageLength();
            if (demo) {
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
            if (selected < 1 && !demo) ChipTypeMissing();
            if (demo) {
                chipCode_ = Row(state_.DemoboardChipRow).code;
                imageSize_ = rom.FileLength();
                if (rom.FileLength() <= kLargestDemoboardDecode) PrepareDemoboardImage(rom);
            } else {
                chipCode_ = Row(selected).code;
                imageSize_ = Row(selected).imageSize;
            }
        }
        details_.chipCode = chipCode_;
        details_.chipType = ChipTypeOfRun(demo && rom.Kind() == RomKind::Raw);
        units_ = CeilDiv(imageSize_, kImageUnit);
        regions_ = CeilDiv(units_, kUnitsPerCountRegion);
        // Whole units are programmed and whole regions counted; what the file does not cover is
        // erased flash, never whatever memory lay behind it.
        rom.PadTo(std::size_t{regions_} * kUnitsPerCountRegion * kImageUnit);
        imageOneCount_ = CountOneBits(rom.Buffer().first(std::size_t{regions_} * 2 * kImageUnit));
        return true;
    }

    // The row the chip code came from; a code from the header alone names its first row.
    std::string ChipTypeOfRun(bool demoboardRaw) const {
        const int selected = panel_.SelectedChipType();
        const ChipProperties* row =
            demoboardRaw ? ChipRow(state_.DemoboardChipRow)
            : selected > 0 && ChipRow(selected) != nullptr && ChipRow(selected)->code == chipCode_
                ? ChipRow(selected)
                : FirstRowWithCode(chipCode_);
        return row != nullptr ? std::string(row->name) : std::string();
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
        bool result = false;
        switch (state_.ClientBoardKind) {
            case kBoardK3r8: {
                if (!R8Enable(1)) Busy("Writer Busy !!", [] { R8Enable(0); });
                std::array<std::uint8_t, 12> id{};
                R8ReadId(id);
                std::array<std::vector<std::uint8_t>, 4> blocks;
                std::array<std::vector<std::uint8_t>, 4> again;
                const auto read = [](auto& b) {
                    for (auto& chip : b)
                        chip.assign(kIdBlockBuffer, 0);
                    return R8ReadBlock(b[0], b[1], b[2], kOptionBlockIndex, b[3]);
                };
                // The option bytes carried over the erase must read the same twice: one bad
                // read would otherwise be written into every chip's new option page.
                result = read(blocks) && read(again) && blocks == again;
                if (result) Carry(blocks[0]);
                break;
            }
            case kBoardK3r1: {
                if (!R1Enable(1)) Busy("Writer Busy !!", [] { R1Enable(0); });
                std::array<std::uint8_t, 3> id{};
                R1ReadId(id);
                std::vector<std::uint8_t> block(kIdBlockBuffer, 0);
                std::vector<std::uint8_t> again(kIdBlockBuffer, 0);
                // Read twice, as on the K3.r8.
                result = R1ReadBlock(block, kOptionBlockIndex) &&
                         R1ReadBlock(again, kOptionBlockIndex) && block == again;
                if (result) Carry(block);
                break;
            }
            case kBoardDemo: {
                if (!DemoEnable(1)) Busy("Demoboard Busy !!", [] { DemoEnable(0); });
                std::array<std::uint8_t, 3> id{};
                result = DemoReadId(id);
                break;
            }
            default:
                Status("No Avaliable client board found!!");
                PlainStop(RunResult::NoBoard, "No Avaliable client board found!!");
        }
        if (!result) BoardExit(RunResult::IdCheck, "Serial-Flash ID Check fail!!");
        Status("Serial-Flash ID Check OK!");
    }

    // The fast download leaves the interface as it is when it would not switch on.
    template <class SwitchOff>
    [[noreturn]] void Busy(const char* message, SwitchOff switchOff) {
        Status(message);
        PlainExit();
        if (!fast_) switchOff();
        throw Stop{{RunResult::BoardBusy, message}};
    }

    // Option bytes 229, 228 and 227 survive the erase when a chip carries them.
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
        bool result = true;
        switch (state_.ClientBoardKind) {
            case kBoardK3r8:
                // The blank check judges the erase on this board.
                R8Erase(0x00, 0x04);
                R8Erase(0x7F, 0x01);
                break;
            case kBoardK3r1:
                R1Erase(0x00, 0x04);
                result = R1Erase(0x7F, 0x01);
                break;
            default:
                result = DemoChipErase();
                break;
        }
        panel_.SetProgressDisplay(false);
        if (!result) BoardExit(RunResult::Erase, "Chip Erase fail!");
        Status("Chip Erase OK!");
        // Only the K3.r8 reads the image back; the other boards verify by one-bit counts and read
        // no more than the option block, so a 2 MiB demoboard image needs no 8 MiB of buffers.
        const std::size_t unitBytes =
            state_.ClientBoardKind == kBoardK3r8 ? std::size_t{units_} * kImageUnit : 0;
        for (auto& b : readBack_)
            b.assign(std::max(unitBytes, kIdBlockBuffer), 0);
    }

    // --- Stage F: blank check ------------------------------------------------------------------

    void BlankCheck() {
        panel_.SetProgressDisplay(true);
        bool result = true;
        if (state_.ClientBoardKind == kBoardK3r8) {
            std::uint8_t flags = 0;
            if (!R8BlankCheck(0, kUnitsPerEraseBlock, flags)) {
                // A chip that failed while another passed is programmed all the same; its
                // state shows at the data verify.
                if ((flags & 0x0F) == 0) {
                    panel_.SetProgressDisplay(false);
                    const std::string message = FailedChipList(0x0F) + " Blank Check Fail!!";
                    Status(message);
                    PlainExit();
                    R8Enable(0);
                    throw Stop{{RunResult::BlankCheck, message}};
                }
            }
        } else if (state_.ClientBoardKind == kBoardK3r1) {
            result = R1BlankCheck(0, CeilDiv(units_, kUnitsPerEraseBlock));
        }
        panel_.SetProgressDisplay(false);
        if (!result) BoardExit(RunResult::BlankCheck, "Serial Flash Blank Check error!!");
        Status("Serial Flash Blank Check OK!!");
    }

    // --- Stage G: program ----------------------------------------------------------------------

    void Program() {
        panel_.SetProgressDisplay(true);
        const std::span<const std::uint8_t> image = rom_->Buffer();
        switch (state_.ClientBoardKind) {
            case kBoardK3r8:
                programmed_ = R8ProgramImage(image, units_);
                break;
            case kBoardK3r1:
                programmed_ = R1ProgramImage(image, units_);
                break;
            default:
                programmed_ = DemoProgramImage(image, units_);
                break;
        }
        panel_.SetProgressDisplay(false);
        if (!programmed_) BoardExit(RunResult::Program, "Serial Flash Page Programming error!!");
        Status("Serial Flash Page Programming OK!!");
    }

    // --- Stage H: option pages -----------------------------------------------------------------

    bool WritePage(const OptionPage& page, std::uint16_t pageIndex) {
        return state_.ClientBoardKind == kBoardK3r8 ? R8ProgramPage(page, pageIndex)
                                                    : R1ProgramPage(page, pageIndex);
    }

    void WriteOptionPages() {
        const SysOptRequest request =
            SysOptRequestFromState(chipCode_, panel_.SelectedChipType(), rangeFlag_, carried_);
        optionPage_ =
            fast_ ? BuildReducedSysOptPage(request, random_) : BuildSysOptPage(request, random_);
        panel_.SetProgressDisplay(true);
        bool result = programmed_;
        const std::vector<OptionPageWrite> writes = WrittenPages();
        // A write that did not reach the dongle stops the run: the page would be missing.
        const std::size_t firstGroup = std::min(writes.size(), kFirstOptionGroupSize);
        for (std::size_t i = 0; i < firstGroup && result; ++i)
            result = WritePage(writes[i].content, writes[i].pageIndex);
        panel_.SetProgressDisplay(false);
        if (!result) BoardExit(RunResult::Program, "Serial Flash Page Programming error!!");
        Status("Serial Flash Page Programming OK!!");
        for (std::size_t i = firstGroup; i < writes.size(); ++i) {
            if (!WritePage(writes[i].content, writes[i].pageIndex))
                BoardExit(RunResult::Program, "Serial Flash Page Programming error!!");
        }
    }

    // The pages the run writes at the top of the page space: none on the demoboard, only the
    // option page in the fast download, else the option page and the eleven parameter pages.
    std::vector<OptionPageWrite> WrittenPages() const {
        if (state_.ClientBoardKind == kBoardDemo) return {};
        if (fast_) return {{kSysOptPageIndex, optionPage_}};
        const auto all = OptionPageWriteOrder(optionPage_);
        return {all.begin(), all.end()};
    }

    // --- Stage I: data verify ------------------------------------------------------------------

    void VerifyData() {
        panel_.SetProgressDisplay(true);
        bool result = true;
        std::uint32_t bitCount = 0;
        switch (state_.ClientBoardKind) {
            case kBoardK3r8:
                result = R8ReadBack(readBack_[0], readBack_[1], readBack_[2], units_, readBack_[3]);
                break;
            case kBoardK3r1:
                Status("64k Verifying..");
                panel_.ProcessMessages();
                result = R1BitCount(0, regions_, bitCount);
                break;
            default:
                Status("64k Verifying..");
                panel_.ProcessMessages();
                result = DemoBitCount(0, regions_, bitCount);
                break;
        }
        panel_.SetProgressDisplay(false);
        if (state_.ClientBoardKind == kBoardK3r8) {
            if (!result) BoardExit(RunResult::Verify, "Serial Flash Data Verify Fail !(DATA-USB)");
            // Every programmed unit is compared, the erased flash behind the image included.
            const std::size_t length = std::size_t{units_} * kImageUnit;
            const auto image = rom_->Buffer().first(length);
            std::uint8_t failed = 0;
            for (std::size_t chip = 0; chip < readBack_.size(); ++chip) {
                if (!std::equal(image.begin(), image.end(), readBack_[chip].begin()))
                    failed = static_cast<std::uint8_t>(failed | (1u << chip));
            }
            if (failed != 0)
                BoardExit(RunResult::Verify, FailedChipList(failed) + " Verify Fail!!");
            Status("Chips Data Verify OK!");
        } else {
            // A count whose reply was lost reads as zero one bits, which may match the image.
            if (!result) BoardExit(RunResult::Verify, "Serial Flash Data Verify Fail !(DATA-USB)");
            if (bitCount != imageOneCount_)
                BoardExit(RunResult::Verify, "Serial Flash Data Verify Fail !(DATA)");
            Status("Serial Flash Data Verify OK !");
        }
    }

    // --- Stage J: option verify ----------------------------------------------------------------

    // Which chips do not hold the whole option page that was written. Only byte 252 (the chip
    // code) decides on its own whether the chip type is right, but a page that differs anywhere
    // is not what the chip will run with.
    std::uint8_t OptionMismatches(std::span<const std::vector<std::uint8_t>> blocks) const {
        std::uint8_t failed = 0;
        for (std::size_t chip = 0; chip < blocks.size(); ++chip) {
            const std::optional<OptionPage> page = OptionPageFromBlock(blocks[chip]);
            if (!page || (*page)[kChipCodeOption] != chipCode_ || *page != optionPage_)
                failed = static_cast<std::uint8_t>(failed | (1u << chip));
        }
        return failed;
    }

    // The block holding a page below the option page, and where in it the page lies.
    static std::uint32_t BlockOfPage(std::uint16_t pageIndex) {
        return kOptionBlockIndex - (kSysOptPageIndex - pageIndex) / 2;
    }
    static std::size_t OffsetOfPage(std::uint16_t pageIndex) {
        return (pageIndex & 1u) != 0 ? kOptionPageInBlock : 0;
    }

    // The lower half of the option page's block holds a parameter page: it is read anyway, so a
    // chip that did not take it is caught without another exchange.
    std::uint8_t LowerHalfMismatches(std::span<const std::vector<std::uint8_t>> blocks) const {
        std::uint8_t failed = 0;
        for (const OptionPageWrite& w : WrittenPages()) {
            if (BlockOfPage(w.pageIndex) != kOptionBlockIndex || OffsetOfPage(w.pageIndex) != 0)
                continue;
            for (std::size_t chip = 0; chip < blocks.size(); ++chip)
                if (!std::equal(w.content.begin(), w.content.end(), blocks[chip].begin()))
                    failed = static_cast<std::uint8_t>(failed | (1u << chip));
        }
        return failed;
    }

    void VerifyOptionPage() {
        panel_.SetProgressDisplay(true);
        bool result = true;
        bool optionOk = true;
        std::uint8_t failed = 0;
        switch (state_.ClientBoardKind) {
            case kBoardK3r8:
                result = R8ReadBlock(readBack_[0], readBack_[1], readBack_[2], kOptionBlockIndex,
                                     readBack_[3]);
                if (result) failed |= LowerHalfMismatches(readBack_);
                break;
            case kBoardK3r1:
                result = R1ReadBlock(readBack_[0], kOptionBlockIndex);
                R1Enable(0);
                optionOk = OptionMismatches(std::span(readBack_).first(1)) == 0 &&
                           LowerHalfMismatches(std::span(readBack_).first(1)) == 0;
                break;
            default:
                DemoEnable(0);
                panel_.Wait(kDemoboardSettle);
                DemoRunControl(1);
                break;
        }
        panel_.SetProgressDisplay(false);
        if (!result) BoardExit(RunResult::Verify, "Serial Flash Data Verify Fail !(SYSOpt-USB)");
        if (state_.ClientBoardKind == kBoardK3r8) {
            failed |= OptionMismatches(readBack_);
            if (failed != 0)
                BoardExit(RunResult::Verify,
                          FailedChipList(failed) + " Data Verify Fail !(SYSOpt-USB)");
        } else if (!optionOk) {
            BoardExit(RunResult::Verify, "Serial Flash Data Verify Fail!(SYSOpt)");
        }
        Status("Serial Flash Data Verify OK !");
    }

    // --- Stage K -------------------------------------------------------------------------------

    void CloseInterface() { SwitchInterfaceOff(); }

    OperatorPanel& panel_;
    const bool fast_;
    const std::optional<std::int32_t> agent_;
    RandomByteSource& random_;
    ProgramState& state_;
    std::optional<RunOutcome> handedOver_;
    std::string boardName_;
    std::optional<RomImage> rom_;
    std::size_t imageSize_ = 0;
    std::uint32_t units_ = 0;
    std::uint32_t regions_ = 0;
    std::uint64_t imageOneCount_ = 0;
    std::uint8_t chipCode_ = 0;
    bool rangeFlag_ = false;
    CarriedOptionBytes carried_;
    bool programmed_ = false;
    OptionPage optionPage_{};
    std::array<std::vector<std::uint8_t>, 4> readBack_;
    RunDetails details_;
};

}  // namespace

RunOutcome RunDownload(OperatorPanel& panel, const DownloadOptions& options) {
    if (OperationInProgress()) return {RunResult::Failed, kOperationInProgress};
    return DownloadRun(panel, options).Run();
}

}  // namespace qdm
