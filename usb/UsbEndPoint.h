#pragma once
// Endpoint objects: each turns a transfer into one request to the driver, built with the
// 38-byte request header, submitted as overlapped I/O and collected later.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "usb/UsbDriver.h"

namespace qdm::usb {

class UsbEndPoint;

// The request buffer of one submitted transfer: the header, followed by the data in buffered
// mode. It belongs to the endpoint from submission to FinishTransfer; should it be dropped
// unfinished (an early return, an exception), it aborts the transfer and awaits its completion
// so the driver can never write into memory that has gone. A transfer that does not complete
// within kAbortedTransferWaitMs of its abort is given up: the request buffer and the memory the
// request holds go to the driver (UsbDriver::Abandon), which keeps them while it may still
// write into them.
class Request {
  public:
    Request() = default;
    Request(UsbEndPoint& endpoint, Overlapped& overlapped, std::vector<std::uint8_t> buffer)
        : endpoint_(&endpoint), overlapped_(&overlapped), buffer_(std::move(buffer)) {}
    Request(Request&& other) noexcept { *this = std::move(other); }
    Request& operator=(Request&& other) noexcept;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request() { Abandon(); }

    explicit operator bool() const { return !buffer_.empty(); }
    [[nodiscard]] std::span<std::uint8_t> Buffer() { return buffer_; }
    [[nodiscard]] std::span<const std::uint8_t> Buffer() const { return buffer_; }
    // Keeps `memory` (the data of a direct transfer) until the request is released, or gives it
    // to the driver with the request buffer when the transfer is given up.
    void Hold(std::shared_ptr<const void> memory) { held_ = std::move(memory); }
    // Marks the request as collected and frees its buffer.
    void Release();

  private:
    friend class UsbEndPoint;
    void Abandon() noexcept;
    // Hands the request buffer and the held memory to the driver; the request is empty then.
    void GiveUp() noexcept;

    UsbEndPoint* endpoint_ = nullptr;
    Overlapped* overlapped_ = nullptr;
    std::vector<std::uint8_t> buffer_;
    std::shared_ptr<const void> held_;
};

enum : std::uint8_t { kTransferBuffered = 0, kTransferDirect = 1 };

class UsbEndPoint {
  public:
    // `descriptor` is a standard 7-byte endpoint descriptor, or empty for the control endpoint.
    UsbEndPoint(UsbDriver& driver, Handle deviceHandle, std::span<const std::uint8_t> descriptor);
    UsbEndPoint(const UsbEndPoint&) = delete;
    UsbEndPoint& operator=(const UsbEndPoint&) = delete;
    virtual ~UsbEndPoint() = default;

    Handle DeviceHandle;
    std::uint8_t DescriptorLength = 0;
    std::uint8_t DescriptorType = 0;
    std::uint8_t Address = 0;
    std::uint8_t Attributes = 0;
    std::uint16_t MaxPacketSize = 0;
    std::uint16_t PacketsPerFrame = 0;
    std::uint8_t Interval = 0;
    std::uint32_t TimeOut = 10000;
    std::uint32_t UsbdStatus = 0;
    std::uint32_t NtStatus = 0;
    std::uint32_t BytesTransferred = 0;
    std::uint32_t LastError = 0;
    bool IsIn = false;
    std::uint8_t TransferMode = kTransferDirect;

    // Submissions return the request, or an empty one when nothing could be submitted.
    virtual Request BeginDirectTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped);
    virtual Request BeginBufferedTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped);
    virtual Request BeginTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) = 0;
    // Collects a submitted transfer: `length` := bytes moved (never more than `buffer` holds).
    // A transfer still in progress is aborted and awaited first.
    virtual bool FinishTransfer(std::span<std::uint8_t> buffer, std::uint32_t& length,
                                Overlapped& overlapped, Request& request,
                                std::span<std::uint8_t> packetInfo = {});

    bool WaitForTransfer(Overlapped& overlapped, std::uint32_t milliseconds);
    // Synchronous transfer bounded by TimeOut.
    bool TransferData(std::span<std::uint8_t> buffer, std::uint32_t& length,
                      std::span<std::uint8_t> packetInfo = {});
    bool Abort();

    [[nodiscard]] UsbDriver& Driver() const { return *driver_; }

  protected:
    // Submits `request` with `code`. A direct transfer moves its data straight from or into
    // `callerData`; the others carry it inside the request.
    Request Submit(std::uint32_t code, std::vector<std::uint8_t> request,
                   std::span<std::uint8_t> callerData, Overlapped& overlapped, bool direct);

  private:
    friend class Request;
    void AbortAndAwait(Request& request) noexcept;
    // After Abort(): the transfer's result once it completed, waiting for that at most
    // kAbortedTransferWaitMs; {false, IoIncomplete} when it did not complete.
    IoResult AwaitAborted(Overlapped& overlapped);

    UsbDriver* driver_;
};

class UsbControlEndPoint final : public UsbEndPoint {
  public:
    UsbControlEndPoint(UsbDriver& driver, Handle deviceHandle,
                       std::span<const std::uint8_t> descriptor = {});

    std::uint8_t Target = 0;       // recipient: device
    std::uint8_t RequestType = 2;  // vendor
    std::uint8_t Direction = 0;    // host to device
    std::uint8_t RequestCode = 0;
    std::uint16_t Value = 0;
    std::uint16_t Index = 0;

    Request BeginTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) override;
};

class UsbBulkEndPoint final : public UsbEndPoint {
  public:
    using UsbEndPoint::UsbEndPoint;
    Request BeginTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) override;
};

class UsbInterruptEndPoint final : public UsbEndPoint {
  public:
    using UsbEndPoint::UsbEndPoint;
    Request BeginTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) override;
};

class UsbIsocEndPoint final : public UsbEndPoint {
  public:
    using UsbEndPoint::UsbEndPoint;
    Request BeginDirectTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) override;
    Request BeginBufferedTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) override;
    Request BeginTransfer(std::span<std::uint8_t> buffer, Overlapped& overlapped) override;

  private:
    std::uint32_t PacketCount(std::size_t length) const;
};

inline constexpr std::size_t kIsoPacketInfoSize = 8;

}  // namespace qdm::usb
