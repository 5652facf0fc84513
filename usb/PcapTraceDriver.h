#pragma once
// A driver decorator that records every control and bulk transfer, with its data, in a pcap
// file of link type 220 (Linux usbmon, memory-mapped header), which Wireshark and tshark read.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "state/SafeFile.h"
#include "usb/UsbDriver.h"

namespace qdm::usb {

class PcapTraceDriver final : public UsbDriver {
  public:
    // Writes to `file`, created or emptied; never through a link, and never into a FIFO or a
    // device, which are refused at once. IsOpen() tells whether that worked, Opened() why not.
    PcapTraceDriver(std::shared_ptr<UsbDriver> inner, const std::filesystem::path& file);
    ~PcapTraceDriver() override;

    [[nodiscard]] bool IsOpen() const { return out_.IsOpen(); }
    [[nodiscard]] const FileOutcome& Opened() const { return opened_; }

    // How many leading bytes of a bulk transfer's data the trace keeps (the rest is left out,
    // as a capture with a short snap length leaves it); every byte by default.
    using BulkDataFilter =
        std::function<std::size_t(std::uint8_t endpoint, std::span<const std::uint8_t> data)>;
    void SetBulkDataFilter(BulkDataFilter filter) { bulkFilter_ = std::move(filter); }
    [[nodiscard]] std::uint64_t PacketsWritten() const { return packets_; }

    std::vector<std::string> PresentInterfaces(const Guid& interfaceClass) override;
    std::vector<DeviceLocation> LocateInterfaces(const Guid& interfaceClass) override;
    Handle OpenDevice(const std::string& path, std::uint32_t& error) override;
    bool CloseDevice(Handle handle) override;
    IoResult DeviceIoControl(Handle handle, std::uint32_t code, std::span<std::uint8_t> in,
                             std::span<std::uint8_t> out, Overlapped* overlapped) override;
    IoResult GetOverlappedResult(Handle handle, Overlapped& overlapped, bool wait) override;
    void Abandon(Handle handle, Overlapped& overlapped, RequestMemory memory) override;
    EventHandle CreateEventObject(bool manualReset, bool initialState) override;
    WaitResult WaitForEvent(EventHandle event, std::uint32_t milliseconds) override;
    bool CloseEvent(EventHandle event) override;
    NotifyHandle RegisterInterfaceNotification(WindowHandle window,
                                               const Guid& interfaceClass) override;
    NotifyHandle RegisterHandleNotification(WindowHandle window, Handle handle) override;
    bool UnregisterNotification(NotifyHandle notification) override;

  private:
    // One transfer between its submission and its completion record.
    struct Transfer {
        std::uint64_t id = 0;
        std::uint8_t kind = 0;      // usbmon transfer type: 2 control, 3 bulk
        std::uint8_t endpoint = 0;  // with bit 7 for IN
        std::uint8_t device = 0;
        std::span<const std::uint8_t> setup;  // 8 bytes for control requests
        std::span<std::uint8_t> data;         // where IN data arrives
        std::uint32_t dataOffset = 0;         // bytes of header before the data in the result
        std::uint32_t length = 0;             // bytes asked for
    };

    void Submitted(const Transfer& t, std::span<const std::uint8_t> outData);
    void Completed(const Transfer& t, const IoResult& result);
    void WritePacket(const Transfer& t, char type, std::int32_t status, std::uint32_t length,
                     std::span<const std::uint8_t> data);
    void Put(std::span<const std::uint8_t> bytes);
    void Flush();

    std::shared_ptr<UsbDriver> inner_;
    BulkDataFilter bulkFilter_;
    OutputFile out_;
    FileOutcome opened_;
    std::vector<std::uint8_t> unwritten_;  // written in large pieces, not per packet
    std::map<Handle, std::uint8_t> devices_;
    std::map<std::string, std::uint8_t> addresses_;
    std::map<const Overlapped*, Transfer> pending_;
    std::uint64_t nextId_ = 1;
    std::uint64_t packets_ = 0;
};

}  // namespace qdm::usb
