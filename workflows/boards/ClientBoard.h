#pragma once
// A client board as the host drives it: the stages of a download, each callable on its own, with
// the board's own texts. One class per board, as the virtual dongle has one per board on its
// side; MakeClientBoard gives the one a detection found.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "state/Mainprocess.h"
#include "workflows/BoardOperation.h"
#include "workflows/ChipProperties.h"
#include "workflows/OperatorPanel.h"

namespace qdm::boards {

// The stages a download runs on a board, in order. Not every board has every stage; Supports
// tells, and a stage a board lacks must not be called on it.
enum class Stage {
    IdCheck,
    OptionRead,  // the option block, read before the erase for the bytes it carries over
    Erase,
    BlankCheck,
    Program,
    OptionPages,  // the system option page and the parameter pages at the top of the page space
    VerifyData,
    VerifyOptionPage,
    ReadBack,  // the programmed units read back as data (not a download stage: the read)
};

// The image as the stages take it.
struct BoardImage {
    std::span<const std::uint8_t> bytes;  // whole count regions: erased flash past the file
    std::uint32_t units = 0;              // 16 KiB units programmed from address 0
    std::uint32_t regions = 0;            // 32 KiB regions the one-bit counts cover
    std::uint64_t oneBits = 0;            // one bits in those regions
};

// What a run wrote at the top of the page space, to be found there again.
struct WrittenOptionPages {
    std::uint8_t chipCode = 0;
    OptionPage sysOptPage{};
    std::span<const OptionPageWrite> writes;

    // The chips (bit 0 = chip 1) whose block 4095, one per chip, does not hold the whole option
    // page with the chip code, or the parameter page written into its lower half. Only the chip
    // code decides the chip type, but a page that differs anywhere is not what the chip will run
    // with.
    [[nodiscard]] std::uint8_t FailedChips(std::span<const std::vector<std::uint8_t>> blocks) const;
};

// How a judged stage ended: its status-line text, and whether the run goes on.
struct StageResult {
    bool passed = false;
    std::string text;
};

// Block 4095 of every chip, in chip order.
using OptionBlocks = std::vector<std::vector<std::uint8_t>>;

// Texts of the judged stages that more than one board shows.
inline constexpr std::string_view kBlankCheckOk = "Serial Flash Blank Check OK!!";
inline constexpr std::string_view kBlankCheckError = "Serial Flash Blank Check error!!";
inline constexpr std::string_view kDataVerifyOk = "Serial Flash Data Verify OK !";
inline constexpr std::string_view kDataVerifyUsbFail = "Serial Flash Data Verify Fail !(DATA-USB)";
inline constexpr std::string_view kOptionVerifyUsbFail =
    "Serial Flash Data Verify Fail !(SYSOpt-USB)";

// What stands for a board when detection found none.
inline constexpr std::string_view kNoBoardName = "None / Error";
inline constexpr std::string_view kNoBoardText = "No Avaliable client board found!!";

class ClientBoard {
  public:
    ClientBoard() = default;
    ClientBoard(const ClientBoard&) = delete;
    ClientBoard& operator=(const ClientBoard&) = delete;
    virtual ~ClientBoard() = default;

    // The kind DetectClientBoard reports for it.
    [[nodiscard]] virtual std::uint8_t Kind() const = 0;
    // "OTP Writer K3.r8": the status line, the file label and the command line call it so.
    [[nodiscard]] virtual std::string_view Name() const = 0;
    // The status line when its interface will not switch on.
    [[nodiscard]] virtual std::string_view BusyText() const = 0;
    [[nodiscard]] virtual bool Supports(Stage stage) const = 0;
    // The run holds the board while it works on the flash and releases it when done; the reset
    // button releases it too. Such a board is switched off by its release, not after a failure.
    [[nodiscard]] virtual bool Held() const { return false; }
    // The board plays the image from its flash: it takes it unscrambled, as long as the file,
    // typed by the demoboard's chip row, and needs no chip type chosen.
    [[nodiscard]] virtual bool TakesPlainImage() const { return false; }

    // Hold and release of a held board; nothing on the others.
    virtual void Hold(OperatorPanel& /*panel*/) {}
    virtual void Release(OperatorPanel& /*panel*/) {}
    // The reset button: releases a held board and says so; leaves the others alone, silently.
    virtual void Reset(OperatorPanel& /*panel*/) {}

    // The board's interface; false when it would not switch on (busy or not answering).
    virtual bool SwitchOn() = 0;
    virtual void SwitchOff() = 0;

    // The stages. The three that judge what the board holds give their own texts; for the
    // others every board shows the same.
    virtual bool CheckId() = 0;
    // Nothing when a read failed or two reads disagree: one bad read would otherwise be written
    // into every chip's new option page.
    virtual std::optional<OptionBlocks> ReadOptionBlocks();
    virtual bool Erase() = 0;
    virtual StageResult BlankCheck(const BoardImage& image);
    virtual bool Program(const BoardImage& image) = 0;
    virtual bool ProgramPage(const OptionPage& page, std::uint16_t pageIndex);
    virtual StageResult VerifyData(OperatorPanel& panel, const BoardImage& image) = 0;
    virtual StageResult VerifyOptionPage(const WrittenOptionPages& pages);
    // The first `units` 16 KiB units of every chip, in chip order; nothing when a reply did not
    // arrive whole.
    virtual std::optional<FlashData> ReadData(std::uint32_t units);

  protected:
    using BitCount = bool (*)(std::uint32_t address, std::uint32_t count, std::uint32_t& sum);
    // The data verify of a board that counts one bits instead of reading the image back.
    static StageResult VerifyByOneBitCount(OperatorPanel& panel, const BoardImage& image,
                                           BitCount count);
};

// The board of a kind DetectClientBoard reports; nothing for none or an unknown kind.
std::unique_ptr<ClientBoard> MakeClientBoard(std::uint8_t kind);

}  // namespace qdm::boards
