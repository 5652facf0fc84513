#pragma once
// The virtual writer dongle at USB level: an EZ-USB device with its descriptors, the firmware-load
// vendor request into its 64 KiB RAM, the CPU hold/release register, bulk OUT 0x02 (command
// lists) and bulk IN 0x86 (replies), whichever firmware runs on it and the client board or
// MCU-ROM behind it. It knows nothing of any host driver's vocabulary: a driver model or a USB
// emulator drives it with setup packets and bulk transfers.
//
// Time: the dongle keeps its work on a clock (a virtual one of its own unless given another) by
// a timing profile. It takes one command list at a time, as its endpoint buffers do: a list
// arrives once the previous one is done and its packets have crossed the bus, runs for as long as
// its work takes, and its reply reaches the IN endpoint when that work is done and the reply has
// crossed the bus. Lists and replies keep their order. A port reset drops what waits in the
// endpoints, but a list already running still answers when done. Under the zero profile all of
// this happens at once, inside the call that started it. Whoever drives the dongle calls RunDue
// to let the scheduled work happen up to the clock's now, and NextEvent tells when the next
// piece is due.
//
// Single-threaded: the caller serialises every call. Completion callbacks may run synchronously
// inside RunDue, SubmitBulk, CancelBulk, CancelEndpoint, ResetPort and Unplug; a callback may call
// back into the dongle (its completions are delivered after the current one returns) but must
// not destroy it. Transfers still pending when the dongle is destroyed are dropped without
// callback.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/BootFirmware.h"
#include "sim/ClientBoard.h"
#include "sim/Clock.h"
#include "sim/Firmware.h"
#include "sim/McuRomFirmware.h"
#include "sim/ParallelFlash.h"
#include "sim/TimingProfile.h"
#include "sim/UsbDescriptors.h"
#include "sim/WorkMeter.h"
#include "sim/WriterFirmware.h"

namespace qdm::sim {

class K3r8Board;
class K3r1Board;
class Demoboard;

enum class DongleKind {
    Writer,  // boot firmware at plug-in, writer firmware once loaded
    McuRom,  // runs its MCU-ROM firmware from plug-in, whatever is loaded
};

enum class FirmwareState {
    Boot,    // boot firmware: answers only 01 03
    Held,    // CPU held in reset: nothing answered
    Writer,  // writer firmware running
    McuRom,  // MCU-ROM firmware running
    Halted,  // released with no known firmware in RAM: nothing answered
};

const char* FirmwareStateName(FirmwareState state);

inline constexpr std::uint16_t kCpuControlAddress = 0xE600;
inline constexpr std::uint8_t kFirmwareLoadRequest = 0xA0;
inline constexpr std::size_t kRamSize = 64 * 1024;

struct DongleConfig {
    DongleKind kind = DongleKind::Writer;
    BoardKind board = BoardKind::K3r8;
    std::uint16_t vendorId = 0x04B4;
    std::uint16_t productId = 0x1004;
    std::uint16_t bcdDevice = 0x0001;
    std::string manufacturer = "QDM";
    std::string product = "EZ-USB Writer Dongle (virtual)";
    std::string serialNumber = "QDMSIM0001";
    DongleFacts facts;
    // False: any release after a hold starts the writer firmware, whatever the RAM holds (for
    // running the real firmware file in demo mode).
    bool writerNeedsSignature = true;
    bool startPlugged = true;
    TimingProfile timing = ZeroTiming();
};

struct SetupPacket {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
    friend bool operator==(const SetupPacket&, const SetupPacket&) = default;
};

enum class ControlStatus { Ok, Stall, NoDevice };

struct ControlResult {
    ControlStatus status = ControlStatus::Ok;
    std::size_t length = 0;  // data bytes moved
    SimDuration busy{};      // the transfer's time on the bus
};

struct ControlRecord {
    SetupPacket setup;
    std::vector<std::uint8_t> data;  // OUT: as received; IN: as returned
    ControlStatus status = ControlStatus::Ok;
};

enum class BulkStatus { Completed, Cancelled, NoDevice, Stall };

using BulkId = std::uint64_t;

struct BulkCompletion {
    BulkId id = 0;
    std::uint8_t endpoint = 0;
    BulkStatus status = BulkStatus::Completed;
    std::size_t length = 0;  // bytes moved
};

using BulkCallback = std::function<void(const BulkCompletion&)>;

// Faults bound to one exchange (the N-th command list received since plug-in or since the
// counter was reset, counting from 1).
enum class FaultKind {
    None,
    Unplug,        // the list is not executed; the device vanishes
    NoReply,       // the list is executed; its reply is withheld
    CorruptReply,  // reply byte `offset` is XORed with `mask` (no effect past the reply's end)
    LoseList,      // the list is lost on its way: the OUT transfer fails, nothing runs or answers
};

struct ExchangeFault {
    FaultKind kind = FaultKind::None;
    std::size_t offset = 0;
    std::uint8_t mask = 0;
};

// Faults bound to one firmware-load request (the N-th vendor request 0xA0 out since plug-in,
// counting from 1): the request stalls and nothing of it is written, or the dongle is pulled out.
enum class LoadFault { Stall, Unplug };

// What becomes of a reply a reply filter has seen.
enum class ReplyAction {
    Deliver,   // the reply, as the filter left it, goes to the IN endpoint
    Withhold,  // nothing is answered
    Unplug,    // the list ran, then the device vanishes without answering
};

// Sees every list after the firmware ran it and before the exchange faults apply; may change,
// shorten, lengthen or replace the reply. `delivered` is the firmware's own decision. For fuzzing
// the host's handling of replies.
using ReplyFilter =
    std::function<ReplyAction(std::uint64_t exchange, std::span<const std::uint8_t> list,
                              std::vector<std::uint8_t>& reply, bool delivered)>;

struct ExchangeRecord {
    std::uint64_t index = 0;                    // exchange number
    FirmwareState state = FirmwareState::Boot;  // what ran the list
    std::vector<std::uint8_t> command;          // the list as received (padding included)
    std::vector<std::uint8_t> reply;  // as the firmware (and a reply filter) left it, not corrupted
    bool delivered = false;  // false when the reply was withheld (fault, busy board, no firmware)
    FaultKind fault = FaultKind::None;
    SimDuration work{};  // how long the list ran
};

class VirtualDongle {
  public:
    explicit VirtualDongle(DongleConfig config = {});
    VirtualDongle(const VirtualDongle&) = delete;
    VirtualDongle& operator=(const VirtualDongle&) = delete;
    ~VirtualDongle();

    // --- Bus -------------------------------------------------------------------------------
    [[nodiscard]] bool Plugged() const { return plugged_; }
    // Plug-in, or a power cycle after Unplug: boot state (or MCU-ROM firmware), RAM cleared, IN
    // FIFO empty, exchange counter 0, boards' volatile state idle; flash contents kept.
    void Plug();
    // Pending transfers complete with NoDevice; everything afterwards fails with NoDevice.
    void Unplug();
    // Increases with every plug-in; tells a handle opened before an unplug from a new one.
    [[nodiscard]] std::uint32_t PlugCount() const { return plugCount_; }

    // Endpoint 0, synchronous. For IN requests `data` receives up to wLength bytes; for OUT
    // requests it holds them.
    ControlResult ControlTransfer(const SetupPacket& setup, std::span<std::uint8_t> data);

    // Bulk transfer on 0x02 or 0x86; `buffer` must stay valid until the callback. An OUT is one
    // command list, complete once the dongle has it. An IN completes when reply bytes are waiting
    // (taking up to its length of them; a 0-length IN completes at once).
    BulkId SubmitBulk(std::uint8_t endpoint, std::span<std::uint8_t> buffer, BulkCallback callback);
    // Cancels a pending transfer (completes with Cancelled; a list that has not arrived never
    // will); false when it is not pending.
    bool CancelBulk(BulkId id);
    void CancelEndpoint(std::uint8_t endpoint);
    // Cancels pending transfers and clears the IN FIFO; the firmware keeps its state, and a list
    // still running answers when it is done.
    bool ResetPort();

    // --- Time ----------------------------------------------------------------------------------
    void SetTiming(const TimingProfile& timing);
    [[nodiscard]] const TimingProfile& Timing() const { return timing_; }
    void SetClock(std::shared_ptr<Clock> clock);
    [[nodiscard]] Clock& TimeSource() const { return *clock_; }
    // When the next scheduled piece of work is due (a list arriving, a reply ready); nullopt
    // when nothing is under way.
    [[nodiscard]] std::optional<SimTime> NextEvent() const;
    // Lets every piece of work due by the clock's now happen, in time order.
    void RunDue();
    // Where the dongle's time went since it was made or the ledger cleared.
    [[nodiscard]] const TimeLedger& Ledger() const { return ledger_; }
    void ClearLedger() { ledger_ = {}; }
    // IN transfers that a list was sent behind and that then took bytes of an earlier list's
    // reply: a reply read as another list's.
    [[nodiscard]] std::uint64_t MisreadReplies() const { return misreads_; }

    // --- Descriptors ---------------------------------------------------------------------------
    [[nodiscard]] const std::vector<std::uint8_t>& DeviceDescriptor() const { return device_; }
    [[nodiscard]] const std::vector<std::uint8_t>& ConfigurationDescriptor() const {
        return configuration_;
    }
    // Index 0 is the language list; empty for an index with no string.
    [[nodiscard]] std::vector<std::uint8_t> StringDescriptor(std::uint8_t index) const;

    // --- Introspection -------------------------------------------------------------------------
    [[nodiscard]] const DongleConfig& Config() const { return config_; }
    [[nodiscard]] FirmwareState State() const { return state_; }
    [[nodiscard]] std::span<const std::uint8_t> Ram() const { return ram_; }
    [[nodiscard]] std::size_t PendingReplyBytes() const;
    [[nodiscard]] std::size_t PendingTransfers() const {
        return pendingIn_.size() + pendingOut_.size();
    }
    [[nodiscard]] std::uint32_t PortResets() const { return portResets_; }

    // Both logs keep only their most recent records, so a dongle that serves a long session (a
    // window checking its presence every second, download after download) stays within a fixed
    // amount of memory. The oldest records go first; the newest is always kept.
    static constexpr std::size_t kDefaultControlLogRecords = 16384;
    static constexpr std::size_t kDefaultExchangeLogBytes = std::size_t{16} << 20;

    [[nodiscard]] const std::deque<ControlRecord>& ControlLog() const { return controlLog_; }
    void ClearControlLog() { controlLog_.clear(); }
    // At most this many control records (at least 1).
    void SetControlLogLimit(std::size_t records);
    [[nodiscard]] std::uint64_t ControlRecordsDropped() const { return controlDropped_; }

    [[nodiscard]] std::uint64_t ExchangeCount() const { return exchangeCount_; }
    void ResetExchangeCounter() { exchangeCount_ = 0; }
    // On by default; when off, lists are not copied. The log survives Unplug/Plug.
    void SetExchangeLogEnabled(bool enabled) { exchangeLogEnabled_ = enabled; }
    [[nodiscard]] const std::deque<ExchangeRecord>& ExchangeLog() const { return exchangeLog_; }
    void ClearExchangeLog() {
        exchangeLog_.clear();
        exchangeLogBytes_ = 0;
    }
    // Exchange records up to this many bytes of lists and replies together.
    void SetExchangeLogLimit(std::size_t bytes);
    [[nodiscard]] std::uint64_t ExchangeRecordsDropped() const { return exchangeDropped_; }

    // --- Hardware behind the USB core ----------------------------------------------------------
    [[nodiscard]] ClientBoard& Board() { return *board_; }
    // The board as its concrete kind, or null when another board is attached.
    [[nodiscard]] K3r8Board* K3r8();
    [[nodiscard]] K3r1Board* K3r1();
    [[nodiscard]] Demoboard* Demo();
    [[nodiscard]] ParallelFlash& McuRomFlash() { return mcuRomFlash_; }
    [[nodiscard]] McuRomFirmware& McuRom() { return mcuRom_; }

    [[nodiscard]] DongleFacts& Facts() { return facts_; }
    void SetHardwareVersion(std::array<std::uint8_t, 4> version) {
        facts_.hardwareVersion = version;
    }
    void SetBoardIdOverride(std::optional<std::uint8_t> id) { facts_.boardIdOverride = id; }
    void SetBoardBusy(bool busy) { board_->SetBusy(busy); }

    // --- Exchange faults -----------------------------------------------------------------------
    void InjectFault(std::uint64_t exchange, ExchangeFault fault);
    void UnplugAtExchange(std::uint64_t exchange) { InjectFault(exchange, {FaultKind::Unplug}); }
    void NoReplyAtExchange(std::uint64_t exchange) { InjectFault(exchange, {FaultKind::NoReply}); }
    void CorruptReplyAtExchange(std::uint64_t exchange, std::size_t offset, std::uint8_t mask) {
        InjectFault(exchange, {FaultKind::CorruptReply, offset, mask});
    }
    void LoseListAtExchange(std::uint64_t exchange) {
        InjectFault(exchange, {FaultKind::LoseList});
    }
    void InjectLoadFault(std::uint64_t request, LoadFault fault) {
        loadFaults_.emplace_back(request, fault);
    }
    [[nodiscard]] std::uint64_t LoadRequestCount() const { return loadRequests_; }
    void ClearFaults() {
        faults_.clear();
        loadFaults_.clear();
    }
    void SetReplyFilter(ReplyFilter filter) { replyFilter_ = std::move(filter); }
    // Exchange and load faults still waiting for their list or request.
    [[nodiscard]] std::size_t ScheduledFaults() const {
        return faults_.size() + loadFaults_.size();
    }

  private:
    struct PendingIn {
        BulkId id = 0;
        std::uint8_t endpoint = 0;
        std::span<std::uint8_t> buffer;
        BulkCallback callback;
        std::uint64_t forList = 0;  // the list sent behind it, whose reply it should get
    };
    struct PendingOut {
        BulkId id = 0;
        std::span<const std::uint8_t> list;
        BulkCallback callback;
        std::uint64_t serial = 0;
        SimTime submitted{};
    };
    // One list's reply, on its way to the IN endpoint or waiting there.
    struct ReplyChunk {
        SimTime ready{};
        std::uint64_t serial = 0;
        std::vector<std::uint8_t> bytes;
        std::size_t taken = 0;
    };
    struct Completion {
        BulkCallback callback;
        BulkCompletion result;
    };

    void LogControl(const SetupPacket& setup, std::span<const std::uint8_t> data,
                    ControlStatus status);
    void LogExchange(std::uint64_t index, FirmwareState state, std::span<const std::uint8_t> list,
                     bool delivered, FaultKind fault);
    ControlResult HandleControl(const SetupPacket& setup, std::span<std::uint8_t> data);
    ControlResult HandleStandardIn(const SetupPacket& setup, std::span<std::uint8_t> data);
    void WriteCpuControl(std::uint8_t value);
    // Runs one command list that arrived at `at`; the status of its OUT transfer. The reply,
    // when one is delivered, is scheduled.
    BulkStatus HandleCommandList(std::span<const std::uint8_t> list, std::uint64_t serial,
                                 SimTime at);
    Firmware* RunningFirmware();
    ExchangeFault TakeFault(std::uint64_t exchange);
    void ServeIn();
    void Queue(BulkCallback callback, BulkCompletion result);
    void CompleteAllPending(BulkStatus status);
    void Dispatch();
    // When the first waiting list arrives, given the time it may start crossing the bus.
    void ScheduleNextList(SimTime earliest);
    void ListArrives(SimTime at);
    void ReplyReady();
    void DropReplies();
    void UnplugNow();

    DongleConfig config_;
    DongleFacts facts_;
    std::vector<std::uint8_t> device_;
    std::vector<std::uint8_t> configuration_;
    // Language list, manufacturer, product, serial number: built once, read at every open.
    std::array<std::vector<std::uint8_t>, 4> strings_;

    std::unique_ptr<ClientBoard> board_;
    ParallelFlash mcuRomFlash_;
    BootFirmware boot_;
    WriterFirmware writer_;
    McuRomFirmware mcuRom_;

    bool plugged_ = false;
    std::uint32_t plugCount_ = 0;
    FirmwareState state_ = FirmwareState::Boot;
    std::uint8_t configurationValue_ = 1;
    std::vector<std::uint8_t> ram_;

    TimingProfile timing_;
    std::shared_ptr<Clock> clock_;
    WorkMeter meter_;
    TimeLedger ledger_;
    SimTime cpuFreeAt_{};                           // when the list under way is done
    std::optional<SimTime> nextArrival_;            // of pendingOut_.front()
    std::deque<ReplyChunk> replies_;                // scheduled, in time order
    std::deque<ReplyChunk> inFifo_;                 // at the IN endpoint
    std::vector<std::vector<std::uint8_t>> spare_;  // storage of delivered replies, for reuse
    std::uint64_t listSerial_ = 0;
    std::uint64_t misreads_ = 0;
    bool runningDue_ = false;

    std::vector<std::uint8_t> reply_;  // scratch, reused for every list
    std::deque<PendingIn> pendingIn_;
    std::deque<PendingOut> pendingOut_;
    std::deque<Completion> completions_;
    bool dispatching_ = false;
    BulkId nextBulkId_ = 1;
    std::uint32_t portResets_ = 0;

    std::uint64_t exchangeCount_ = 0;
    std::vector<std::pair<std::uint64_t, ExchangeFault>> faults_;
    std::uint64_t loadRequests_ = 0;
    std::vector<std::pair<std::uint64_t, LoadFault>> loadFaults_;
    ReplyFilter replyFilter_;
    bool exchangeLogEnabled_ = true;
    std::deque<ExchangeRecord> exchangeLog_;
    std::size_t exchangeLogBytes_ = 0;
    std::size_t exchangeLogLimit_ = kDefaultExchangeLogBytes;
    std::uint64_t exchangeDropped_ = 0;
    std::deque<ControlRecord> controlLog_;
    std::size_t controlLogLimit_ = kDefaultControlLogRecords;
    std::uint64_t controlDropped_ = 0;
};

}  // namespace qdm::sim
