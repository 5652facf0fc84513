#include "bench/BenchSupport.h"

#include <time.h>

#include <algorithm>
#include <stdexcept>

#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "sim/StandInFirmware.h"
#include "state/Mainprocess.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"
#include "usb/TransferRequest.h"
#include "workflows/Mcurom_codec.h"
#include "workflows/RomImage.h"

namespace qdm::bench {

std::vector<std::uint8_t> PlainImage(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> plain(size);
    std::uint32_t x = seed;
    for (auto& b : plain) {
        x = x * 1664525U + 1013904223U;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    if (!plain.empty()) plain[0] = 0xC8;
    return plain;
}

std::vector<std::uint8_t> ContainerFile(std::span<const std::uint8_t> plain, std::uint8_t chipCode,
                                        std::uint8_t chipIndex) {
    return WrapRomContainer(MakeChainedImage(plain, AgentKey(kBuiltInAgentIndex)), chipCode,
                            chipIndex, false)
        .value();
}

int QuietPanel::ChipTypeCount() const {
    return static_cast<int>(ChipTypeItems.size());
}

std::string QuietPanel::ChipTypeText(int index) const {
    if (index < 0 || index >= ChipTypeCount()) return {};
    return std::string(ChipTypeItems[static_cast<std::size_t>(index)]);
}

VirtualBench::VirtualBench(std::string_view board)
    : simulation_(sim::MakeSimulation(*sim::ConfigForBoard(board))),
      firmware_(sim::StandInFirmwareFile()) {
    ExchangeNibbles(firmware_);
    simulation_.dongle->SetExchangeLogEnabled(false);
    usb::SetActiveDriver(simulation_.driver);
    SetSleepHook([](std::chrono::milliseconds) {});
    SetPumpHook(nullptr);
}

VirtualBench::~VirtualBench() {
    usb::SetActiveDriver(nullptr);
    SetSleepHook(nullptr);
}

void VirtualBench::StartWriter() {
    if (!DownloadFirmware(firmware_, 0)) throw std::runtime_error("the firmware did not load");
    if (simulation_.dongle->K3r8() != nullptr) R8Enable(1);
}

std::chrono::nanoseconds ThreadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

usb::IoResult WireCountingDriver::DeviceIoControl(usb::Handle handle, std::uint32_t code,
                                                  std::span<std::uint8_t> in,
                                                  std::span<std::uint8_t> out,
                                                  usb::Overlapped* overlapped) {
    const bool bulk = code == usb::ioctl::DirectTransfer || code == usb::ioctl::BufferedTransfer;
    if (code == usb::ioctl::ControlTransfer) ++counted_.controlRequests;
    const usb::IoResult r =
        Timed([&] { return inner_->DeviceIoControl(handle, code, in, out, overlapped); });
    if (!bulk || in.size() < usb::kTransferRequestSize) return r;
    const auto header = usb::TransferRequest::ReadFrom(in);
    const Pending transfer{(header.EndpointAddress & 0x80) != 0, header.BufferOffset};
    if (r.ok) {
        Count(transfer, r.bytes);
    } else if (r.error == usb::error::IoPending && overlapped != nullptr) {
        pending_.emplace_back(overlapped, transfer);
    }
    return r;
}

usb::IoResult WireCountingDriver::GetOverlappedResult(usb::Handle handle,
                                                      usb::Overlapped& overlapped, bool wait) {
    const usb::IoResult r =
        Timed([&] { return inner_->GetOverlappedResult(handle, overlapped, wait); });
    if (!r.ok && r.error == usb::error::IoIncomplete) return r;
    const auto it = std::find_if(pending_.begin(), pending_.end(),
                                 [&](const auto& p) { return p.first == &overlapped; });
    if (it == pending_.end()) return r;
    if (r.ok) Count(it->second, r.bytes);
    pending_.erase(it);
    return r;
}

void WireCountingDriver::Count(const Pending& transfer, std::uint32_t bytes) {
    const std::uint32_t data = bytes > transfer.dataOffset ? bytes - transfer.dataOffset : 0;
    if (transfer.in) {
        counted_.in += Packets(data);
        ++counted_.inTransfers;
    } else {
        counted_.out += Packets(data);
        ++counted_.outTransfers;
    }
}

}  // namespace qdm::bench
