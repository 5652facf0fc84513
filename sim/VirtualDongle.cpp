#include "sim/VirtualDongle.h"

#include <algorithm>
#include <cstring>

#include "sim/Demoboard.h"
#include "sim/K3r1Board.h"
#include "sim/K3r8Board.h"
#include "sim/StandInFirmware.h"

namespace qdm::sim {

namespace {

namespace request {
constexpr std::uint8_t GetStatus = 0;
constexpr std::uint8_t SetAddress = 5;
constexpr std::uint8_t GetDescriptor = 6;
constexpr std::uint8_t GetConfiguration = 8;
constexpr std::uint8_t SetConfiguration = 9;
constexpr std::uint8_t GetInterface = 10;
constexpr std::uint8_t SetInterface = 11;
}  // namespace request

constexpr std::uint8_t kStandardDeviceIn = 0x80;
constexpr std::uint8_t kStandardDeviceOut = 0x00;
constexpr std::uint8_t kStandardInterfaceIn = 0x81;
constexpr std::uint8_t kStandardInterfaceOut = 0x01;
constexpr std::uint8_t kVendorDeviceOut = 0x40;
constexpr std::uint8_t kVendorDeviceIn = 0xC0;

std::size_t CopyOut(std::span<const std::uint8_t> from, std::span<std::uint8_t> to,
                    std::size_t limit) {
    const std::size_t n = std::min({from.size(), to.size(), limit});
    std::copy_n(from.begin(), n, to.begin());
    return n;
}

}  // namespace

const char* FirmwareStateName(FirmwareState state) {
    switch (state) {
        case FirmwareState::Boot:
            return "boot";
        case FirmwareState::Held:
            return "held";
        case FirmwareState::Writer:
            return "writer";
        case FirmwareState::McuRom:
            return "mcurom";
        case FirmwareState::Halted:
            return "halted";
    }
    return "?";
}

VirtualDongle::VirtualDongle(DongleConfig config)
    : config_(std::move(config)),
      facts_(config_.facts),
      device_(BuildDeviceDescriptor(config_.vendorId, config_.productId, config_.bcdDevice)),
      configuration_(BuildConfigurationDescriptor()),
      board_(MakeBoard(config_.board)),
      boot_(facts_),
      writer_(*board_, facts_),
      mcuRom_(mcuRomFlash_, facts_),
      ram_(kRamSize, 0),
      timing_(config_.timing),
      clock_(std::make_shared<VirtualClock>()) {
    strings_ = {BuildLanguageDescriptor(), BuildStringDescriptor(config_.manufacturer),
                BuildStringDescriptor(config_.product),
                BuildStringDescriptor(config_.serialNumber)};
    meter_.SetTiming(timing_);
    board_->UseMeter(meter_);
    mcuRomFlash_.UseMeter(meter_);
    mcuRom_.UseMeter(meter_);
    // The largest reply (a read list of 64 K) fits without growing during a run.
    reply_.reserve(std::size_t{64} * 1024);
    if (config_.startPlugged) Plug();
}

VirtualDongle::~VirtualDongle() = default;

K3r8Board* VirtualDongle::K3r8() {
    return dynamic_cast<K3r8Board*>(board_.get());
}
K3r1Board* VirtualDongle::K3r1() {
    return dynamic_cast<K3r1Board*>(board_.get());
}
Demoboard* VirtualDongle::Demo() {
    return dynamic_cast<Demoboard*>(board_.get());
}

// --- Bus ---------------------------------------------------------------------------------------

void VirtualDongle::Plug() {
    if (plugged_) return;
    plugged_ = true;
    ++plugCount_;
    std::fill(ram_.begin(), ram_.end(), 0);
    DropReplies();
    cpuFreeAt_ = clock_->Now();
    exchangeCount_ = 0;
    loadRequests_ = 0;
    configurationValue_ = 1;
    board_->PowerCycle();
    mcuRomFlash_.PowerCycle();
    mcuRom_.Start();
    state_ = config_.kind == DongleKind::McuRom ? FirmwareState::McuRom : FirmwareState::Boot;
}

void VirtualDongle::Unplug() {
    RunDue();
    UnplugNow();
    Dispatch();
}

// Power goes, and with it every list under way and every reply not yet read.
void VirtualDongle::UnplugNow() {
    if (!plugged_) return;
    plugged_ = false;
    DropReplies();
    CompleteAllPending(BulkStatus::NoDevice);
}

void VirtualDongle::DropReplies() {
    for (std::deque<ReplyChunk>* queue : {&replies_, &inFifo_}) {
        for (ReplyChunk& chunk : *queue)
            spare_.push_back(std::move(chunk.bytes));
        queue->clear();
    }
}

// --- Time --------------------------------------------------------------------------------------

void VirtualDongle::SetTiming(const TimingProfile& timing) {
    timing_ = timing;
}

void VirtualDongle::SetClock(std::shared_ptr<Clock> clock) {
    clock_ = std::move(clock);
    cpuFreeAt_ = std::min(cpuFreeAt_, clock_->Now());
}

std::optional<SimTime> VirtualDongle::NextEvent() const {
    std::optional<SimTime> next = nextArrival_;
    if (!replies_.empty() && (!next || replies_.front().ready < *next))
        next = replies_.front().ready;
    return next;
}

void VirtualDongle::RunDue() {
    if (runningDue_) return;
    {
        runningDue_ = true;
        struct Reset {
            bool& flag;
            ~Reset() { flag = false; }
        } reset{runningDue_};
        const SimTime now = clock_->Now();
        for (;;) {
            // A reply due with a list goes first: it was under way before the list.
            if (!replies_.empty() && replies_.front().ready <= now &&
                (!nextArrival_ || replies_.front().ready <= *nextArrival_)) {
                ReplyReady();
            } else if (nextArrival_ && *nextArrival_ <= now) {
                ListArrives(*nextArrival_);
            } else {
                break;
            }
        }
    }
    // Callbacks may call back in, and then find the work done so far.
    Dispatch();
}

std::size_t VirtualDongle::PendingReplyBytes() const {
    std::size_t bytes = 0;
    for (const ReplyChunk& chunk : inFifo_)
        bytes += chunk.bytes.size() - chunk.taken;
    return bytes;
}

// --- Control endpoint --------------------------------------------------------------------------

std::vector<std::uint8_t> VirtualDongle::StringDescriptor(std::uint8_t index) const {
    switch (index) {
        case 0:
            return strings_[0];
        case kManufacturerIndex:
            return strings_[1];
        case kProductIndex:
            return strings_[2];
        case kSerialNumberIndex:
            return strings_[3];
        default:
            return {};
    }
}

ControlResult VirtualDongle::ControlTransfer(const SetupPacket& setup,
                                             std::span<std::uint8_t> data) {
    RunDue();
    ControlResult result{ControlStatus::NoDevice, 0};
    if (plugged_) result = HandleControl(setup, data);
    const bool in = (setup.bmRequestType & 0x80) != 0;
    const std::size_t logged =
        in ? result.length : std::min<std::size_t>(setup.wLength, data.size());
    LogControl(setup, data.first(logged), result.status);
    if (plugged_) {
        result.busy = ControlTransferTime(timing_, setup.wLength);
        ledger_.controlWire += result.busy;
        ++ledger_.controlTransfers;
        if (setup.bmRequestType == kStandardDeviceIn && setup.bRequest == request::GetDescriptor) {
            ++ledger_.descriptorReads;
            ledger_.descriptorWire += result.busy;
        }
        if (setup.bRequest == kFirmwareLoadRequest &&
            (setup.bmRequestType == kVendorDeviceOut || setup.bmRequestType == kVendorDeviceIn)) {
            ++ledger_.firmwareLoads;
            ledger_.firmwareLoadWire += result.busy;
        }
    }
    Dispatch();
    return result;
}

void VirtualDongle::LogControl(const SetupPacket& setup, std::span<const std::uint8_t> data,
                               ControlStatus status) {
    // A full log hands its oldest record's storage to the newest.
    ControlRecord record;
    if (controlLog_.size() >= controlLogLimit_) {
        record = std::move(controlLog_.front());
        controlLog_.pop_front();
        ++controlDropped_;
    }
    record.setup = setup;
    record.data.assign(data.begin(), data.end());
    record.status = status;
    controlLog_.push_back(std::move(record));
}

void VirtualDongle::SetControlLogLimit(std::size_t records) {
    controlLogLimit_ = std::max<std::size_t>(records, 1);
    while (controlLog_.size() > controlLogLimit_) {
        controlLog_.pop_front();
        ++controlDropped_;
    }
}

ControlResult VirtualDongle::HandleStandardIn(const SetupPacket& setup,
                                              std::span<std::uint8_t> data) {
    switch (setup.bRequest) {
        case request::GetDescriptor: {
            const auto type = static_cast<std::uint8_t>(setup.wValue >> 8);
            const auto index = static_cast<std::uint8_t>(setup.wValue & 0xFF);
            std::span<const std::uint8_t> descriptor;
            if (type == descriptor_type::Device && index == 0) {
                descriptor = device_;
            } else if (type == descriptor_type::Configuration && index == 0) {
                descriptor = configuration_;
            } else if (type == descriptor_type::String) {
                if (index == 0) descriptor = strings_[0];
                if (index == kManufacturerIndex) descriptor = strings_[1];
                if (index == kProductIndex) descriptor = strings_[2];
                if (index == kSerialNumberIndex) descriptor = strings_[3];
            }
            if (descriptor.empty()) return {ControlStatus::Stall, 0};
            return {ControlStatus::Ok, CopyOut(descriptor, data, setup.wLength)};
        }
        case request::GetStatus: {
            const std::array<std::uint8_t, 2> status{0, 0};
            return {ControlStatus::Ok, CopyOut(status, data, setup.wLength)};
        }
        case request::GetConfiguration: {
            const std::array<std::uint8_t, 1> value{configurationValue_};
            return {ControlStatus::Ok, CopyOut(value, data, setup.wLength)};
        }
        default:
            return {ControlStatus::Stall, 0};
    }
}

ControlResult VirtualDongle::HandleControl(const SetupPacket& setup, std::span<std::uint8_t> data) {
    switch (setup.bmRequestType) {
        case kStandardDeviceIn:
            return HandleStandardIn(setup, data);
        case kStandardDeviceOut:
            if (setup.bRequest == request::SetConfiguration && setup.wValue <= 1) {
                configurationValue_ = static_cast<std::uint8_t>(setup.wValue);
                return {ControlStatus::Ok, 0};
            }
            if (setup.bRequest == request::SetAddress) return {ControlStatus::Ok, 0};
            return {ControlStatus::Stall, 0};
        case kStandardInterfaceIn:
            if (setup.bRequest == request::GetInterface && setup.wIndex == 0) {
                const std::array<std::uint8_t, 1> alt{0};
                return {ControlStatus::Ok, CopyOut(alt, data, setup.wLength)};
            }
            return {ControlStatus::Stall, 0};
        case kStandardInterfaceOut:
            if (setup.bRequest == request::SetInterface && setup.wIndex == 0 && setup.wValue == 0)
                return {ControlStatus::Ok, 0};
            return {ControlStatus::Stall, 0};
        case kVendorDeviceOut: {
            if (setup.bRequest != kFirmwareLoadRequest) return {ControlStatus::Stall, 0};
            const auto fault =
                std::find_if(loadFaults_.begin(), loadFaults_.end(),
                             [n = ++loadRequests_](const auto& f) { return f.first == n; });
            if (fault != loadFaults_.end()) {
                const LoadFault kind = fault->second;
                loadFaults_.erase(fault);
                if (kind == LoadFault::Stall) return {ControlStatus::Stall, 0};
                Unplug();
                return {ControlStatus::NoDevice, 0};
            }
            const std::size_t n = std::min<std::size_t>(setup.wLength, data.size());
            for (std::size_t i = 0; i < n; ++i) {
                const auto address = static_cast<std::uint16_t>(setup.wValue + i);
                ram_[address] = data[i];
                if (address == kCpuControlAddress) WriteCpuControl(data[i]);
            }
            return {ControlStatus::Ok, n};
        }
        case kVendorDeviceIn: {
            if (setup.bRequest != kFirmwareLoadRequest) return {ControlStatus::Stall, 0};
            const std::size_t n = std::min<std::size_t>(setup.wLength, data.size());
            for (std::size_t i = 0; i < n; ++i)
                data[i] = ram_[static_cast<std::uint16_t>(setup.wValue + i)];
            return {ControlStatus::Ok, n};
        }
        default:
            return {ControlStatus::Stall, 0};
    }
}

void VirtualDongle::WriteCpuControl(std::uint8_t value) {
    // An MCU-ROM dongle runs its firmware from its own memory; loads do not reach it.
    if (config_.kind == DongleKind::McuRom) return;
    if ((value & 0x01) != 0) {
        state_ = FirmwareState::Held;
        return;
    }
    if (state_ != FirmwareState::Held) return;
    if (!config_.writerNeedsSignature || HoldsWriterSignature(ram_)) {
        state_ = FirmwareState::Writer;
        writer_.Start();
    } else {
        state_ = FirmwareState::Halted;
    }
}

// --- Bulk endpoints ----------------------------------------------------------------------------

void VirtualDongle::Queue(BulkCallback callback, BulkCompletion result) {
    completions_.push_back({std::move(callback), result});
}

// Callbacks run only from here, with the dongle's state complete; a callback that calls back in
// only adds to the queue, which this loop then drains in order.
void VirtualDongle::Dispatch() {
    if (dispatching_) return;
    dispatching_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{dispatching_};
    while (!completions_.empty()) {
        Completion next = std::move(completions_.front());
        completions_.pop_front();
        if (next.callback) next.callback(next.result);
    }
}

void VirtualDongle::CompleteAllPending(BulkStatus status) {
    while (!pendingIn_.empty()) {
        PendingIn t = std::move(pendingIn_.front());
        pendingIn_.pop_front();
        Queue(std::move(t.callback), {t.id, t.endpoint, status, 0});
    }
    // Lists that have not arrived never will.
    while (!pendingOut_.empty()) {
        PendingOut t = std::move(pendingOut_.front());
        pendingOut_.pop_front();
        Queue(std::move(t.callback), {t.id, kBulkOutEndpoint, status, 0});
    }
    nextArrival_.reset();
}

BulkId VirtualDongle::SubmitBulk(std::uint8_t endpoint, std::span<std::uint8_t> buffer,
                                 BulkCallback callback) {
    RunDue();
    const BulkId id = nextBulkId_++;
    if (!plugged_) {
        Queue(std::move(callback), {id, endpoint, BulkStatus::NoDevice, 0});
    } else if (endpoint == kBulkOutEndpoint) {
        const std::uint64_t serial = ++listSerial_;
        // A read queued before the list is the read of its reply.
        for (PendingIn& in : pendingIn_)
            if (in.forList == 0) in.forList = serial;
        pendingOut_.push_back({id, buffer, std::move(callback), serial, clock_->Now()});
        if (pendingOut_.size() == 1) ScheduleNextList(clock_->Now());
    } else if (endpoint == kBulkInEndpoint) {
        if (buffer.empty()) {
            Queue(std::move(callback), {id, endpoint, BulkStatus::Completed, 0});
        } else {
            pendingIn_.push_back({id, endpoint, buffer, std::move(callback)});
            ServeIn();
        }
    } else {
        Queue(std::move(callback), {id, endpoint, BulkStatus::Stall, 0});
    }
    // Under the zero profile the list runs here.
    RunDue();
    Dispatch();
    return id;
}

void VirtualDongle::ScheduleNextList(SimTime earliest) {
    nextArrival_.reset();
    if (pendingOut_.empty()) return;
    const PendingOut& next = pendingOut_.front();
    const SimTime start = std::max({earliest, next.submitted, cpuFreeAt_});
    nextArrival_ = start + BulkWireTime(timing_, next.list.size());
}

void VirtualDongle::ListArrives(SimTime at) {
    nextArrival_.reset();
    PendingOut out = std::move(pendingOut_.front());
    pendingOut_.pop_front();
    ++ledger_.lists;
    ledger_.bulkWire += BulkWireTime(timing_, out.list.size());
    const BulkStatus status = HandleCommandList(out.list, out.serial, at);
    Queue(std::move(out.callback), {out.id, kBulkOutEndpoint, status,
                                    status == BulkStatus::Completed ? out.list.size() : 0});
    if (plugged_) ScheduleNextList(at);
}

void VirtualDongle::ReplyReady() {
    inFifo_.push_back(std::move(replies_.front()));
    replies_.pop_front();
    ServeIn();
}

void VirtualDongle::ServeIn() {
    while (!pendingIn_.empty() && !inFifo_.empty()) {
        PendingIn t = std::move(pendingIn_.front());
        pendingIn_.pop_front();
        if (t.forList != 0 && inFifo_.front().serial < t.forList) ++misreads_;
        std::size_t n = 0;
        while (n < t.buffer.size() && !inFifo_.empty()) {
            ReplyChunk& chunk = inFifo_.front();
            const std::size_t take =
                std::min(t.buffer.size() - n, chunk.bytes.size() - chunk.taken);
            std::memcpy(t.buffer.data() + n, chunk.bytes.data() + chunk.taken, take);
            n += take;
            chunk.taken += take;
            if (chunk.taken == chunk.bytes.size()) {
                spare_.push_back(std::move(chunk.bytes));
                inFifo_.pop_front();
            }
        }
        Queue(std::move(t.callback), {t.id, t.endpoint, BulkStatus::Completed, n});
    }
}

bool VirtualDongle::CancelBulk(BulkId id) {
    RunDue();
    const auto in = std::find_if(pendingIn_.begin(), pendingIn_.end(),
                                 [id](const PendingIn& t) { return t.id == id; });
    if (in != pendingIn_.end()) {
        PendingIn t = std::move(*in);
        pendingIn_.erase(in);
        Queue(std::move(t.callback), {t.id, t.endpoint, BulkStatus::Cancelled, 0});
        Dispatch();
        return true;
    }
    const auto out = std::find_if(pendingOut_.begin(), pendingOut_.end(),
                                  [id](const PendingOut& t) { return t.id == id; });
    if (out == pendingOut_.end()) return false;
    const bool first = out == pendingOut_.begin();
    PendingOut t = std::move(*out);
    pendingOut_.erase(out);
    Queue(std::move(t.callback), {t.id, kBulkOutEndpoint, BulkStatus::Cancelled, 0});
    if (first) ScheduleNextList(clock_->Now());
    Dispatch();
    return true;
}

void VirtualDongle::CancelEndpoint(std::uint8_t endpoint) {
    RunDue();
    for (auto it = pendingIn_.begin(); it != pendingIn_.end();) {
        if (it->endpoint != endpoint) {
            ++it;
            continue;
        }
        Queue(std::move(it->callback), {it->id, it->endpoint, BulkStatus::Cancelled, 0});
        it = pendingIn_.erase(it);
    }
    if (endpoint == kBulkOutEndpoint) {
        for (PendingOut& t : pendingOut_)
            Queue(std::move(t.callback), {t.id, kBulkOutEndpoint, BulkStatus::Cancelled, 0});
        pendingOut_.clear();
        nextArrival_.reset();
    }
    Dispatch();
}

bool VirtualDongle::ResetPort() {
    RunDue();
    if (!plugged_) return false;
    ++portResets_;
    ++ledger_.resets;
    ledger_.portResets += PortResetTime(timing_);
    for (ReplyChunk& chunk : inFifo_)
        spare_.push_back(std::move(chunk.bytes));
    inFifo_.clear();
    CompleteAllPending(BulkStatus::Cancelled);
    Dispatch();
    return true;
}

// --- Command lists -----------------------------------------------------------------------------

void VirtualDongle::InjectFault(std::uint64_t exchange, ExchangeFault fault) {
    faults_.emplace_back(exchange, fault);
}

ExchangeFault VirtualDongle::TakeFault(std::uint64_t exchange) {
    const auto it = std::find_if(faults_.begin(), faults_.end(),
                                 [exchange](const auto& f) { return f.first == exchange; });
    if (it == faults_.end()) return {};
    const ExchangeFault fault = it->second;
    faults_.erase(it);
    return fault;
}

Firmware* VirtualDongle::RunningFirmware() {
    switch (state_) {
        case FirmwareState::Boot:
            return &boot_;
        case FirmwareState::Writer:
            return &writer_;
        case FirmwareState::McuRom:
            return &mcuRom_;
        case FirmwareState::Held:
        case FirmwareState::Halted:
            break;
    }
    return nullptr;
}

void VirtualDongle::LogExchange(std::uint64_t index, FirmwareState state,
                                std::span<const std::uint8_t> list, bool delivered,
                                FaultKind fault) {
    const std::size_t bytes = list.size() + reply_.size();
    // The oldest records make room; the first of them lends its storage to the newest.
    ExchangeRecord record;
    bool reused = false;
    while (!exchangeLog_.empty() && exchangeLogBytes_ + bytes > exchangeLogLimit_) {
        ExchangeRecord& oldest = exchangeLog_.front();
        exchangeLogBytes_ -= oldest.command.size() + oldest.reply.size();
        if (!reused) record = std::move(oldest);
        reused = true;
        exchangeLog_.pop_front();
        ++exchangeDropped_;
    }
    record.index = index;
    record.state = state;
    record.command.assign(list.begin(), list.end());
    record.reply.assign(reply_.begin(), reply_.end());
    record.delivered = delivered;
    record.fault = fault;
    exchangeLogBytes_ += bytes;
    exchangeLog_.push_back(std::move(record));
}

void VirtualDongle::SetExchangeLogLimit(std::size_t bytes) {
    exchangeLogLimit_ = bytes;
    while (exchangeLog_.size() > 1 && exchangeLogBytes_ > exchangeLogLimit_) {
        const ExchangeRecord& oldest = exchangeLog_.front();
        exchangeLogBytes_ -= oldest.command.size() + oldest.reply.size();
        exchangeLog_.pop_front();
        ++exchangeDropped_;
    }
}

BulkStatus VirtualDongle::HandleCommandList(std::span<const std::uint8_t> list,
                                            std::uint64_t serial, SimTime at) {
    const std::uint64_t index = ++exchangeCount_;
    meter_.Begin(at);
    const ExchangeFault fault = TakeFault(index);
    const FirmwareState ranIn = state_;

    reply_.clear();
    bool deliver = false;
    bool vanish = fault.kind == FaultKind::Unplug;
    const bool lost = fault.kind == FaultKind::LoseList;
    if (!vanish && !lost) {
        if (Firmware* firmware = RunningFirmware()) deliver = firmware->Run(list, reply_);
        if (replyFilter_) {
            const ReplyAction action = replyFilter_(index, list, reply_, deliver);
            deliver = action == ReplyAction::Deliver;
            vanish = action == ReplyAction::Unplug;
        }
        if (fault.kind == FaultKind::NoReply) deliver = false;
    }
    const SimDuration work = meter_.Spent();
    if (exchangeLogEnabled_) {
        LogExchange(index, ranIn, list, deliver && !vanish, fault.kind);
        exchangeLog_.back().work = work;
    }
    const SimDuration beside = meter_.TakeBackground();
    ledger_.flashWork += work + beside;
    ledger_.flashBeside += beside;
    if (vanish) {
        UnplugNow();
        return BulkStatus::NoDevice;
    }
    if (lost) return BulkStatus::Stall;
    cpuFreeAt_ = at + work;
    if (fault.kind == FaultKind::CorruptReply && fault.offset < reply_.size())
        reply_[fault.offset] ^= fault.mask;
    if (deliver && !reply_.empty()) {
        // The reply exists once the work is done, and is read once it has crossed the bus.
        const SimDuration wire = BulkWireTime(timing_, reply_.size());
        ledger_.bulkWire += wire;
        ReplyChunk chunk{cpuFreeAt_ + wire, serial, {}, 0};
        if (!spare_.empty()) {
            chunk.bytes = std::move(spare_.back());
            spare_.pop_back();
        }
        chunk.bytes.assign(reply_.begin(), reply_.end());
        replies_.push_back(std::move(chunk));
    }
    return BulkStatus::Completed;
}

}  // namespace qdm::sim
