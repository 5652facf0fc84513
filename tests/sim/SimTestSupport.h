#pragma once
// Helpers for driving the virtual dongle in tests: command lists, one exchange at USB level the
// way the host's transaction does it (IN queued first, the list padded to 512 bytes), firmware
// loading with the vendor request, and raw request headers for the driver adapter.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/StandInFirmware.h"
#include "sim/VirtualDongle.h"
#include "usb/TransferRequest.h"

namespace qdm::sim::test {

using Bytes = std::vector<std::uint8_t>;

// A command list under construction.
class List {
  public:
    List& Add(std::initializer_list<std::uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes);
        return *this;
    }
    // opcode + 24-bit address, most significant byte first.
    List& Addr(std::uint8_t opcode, std::uint32_t address) {
        return Add({opcode, static_cast<std::uint8_t>(address >> 16),
                    static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)});
    }
    // opcode + address + 256 data bytes.
    List& Page(std::uint8_t opcode, std::uint32_t address, std::span<const std::uint8_t> data) {
        Addr(opcode, address);
        bytes_.insert(bytes_.end(), data.begin(), data.begin() + 256);
        return *this;
    }
    List& Zeros(std::size_t n) {
        bytes_.insert(bytes_.end(), n, 0);
        return *this;
    }
    [[nodiscard]] const Bytes& bytes() const { return bytes_; }
    [[nodiscard]] Bytes Padded() const {
        Bytes padded = bytes_;
        padded.resize((bytes_.size() + 511) / 512 * 512, 0);
        return padded;
    }

  private:
    Bytes bytes_;
};

struct ExchangeResult {
    bool replied = false;  // the IN completed (with any byte count)
    Bytes reply;           // the bytes it brought
    BulkStatus outStatus = BulkStatus::Completed;
    BulkStatus inStatus = BulkStatus::Completed;
};

// Queues an IN of `replyLength`, sends the padded list, cancels the IN when nothing came.
inline ExchangeResult Exchange(VirtualDongle& dongle, const List& list, std::size_t replyLength) {
    Bytes in(replyLength, 0xEE);
    Bytes out = list.Padded();
    std::optional<BulkCompletion> inDone;
    std::optional<BulkCompletion> outDone;
    const BulkId inId =
        dongle.SubmitBulk(kBulkInEndpoint, in, [&](const BulkCompletion& c) { inDone = c; });
    dongle.SubmitBulk(kBulkOutEndpoint, out, [&](const BulkCompletion& c) { outDone = c; });
    if (!inDone) dongle.CancelBulk(inId);
    ExchangeResult r;
    r.outStatus = outDone ? outDone->status : BulkStatus::Cancelled;
    r.inStatus = inDone->status;
    r.replied = inDone->status == BulkStatus::Completed;
    in.resize(r.replied ? inDone->length : 0);
    r.reply = std::move(in);
    return r;
}

// The reply bytes of an exchange that must have produced exactly `replyLength` bytes.
inline Bytes Reply(VirtualDongle& dongle, const List& list, std::size_t replyLength) {
    return Exchange(dongle, list, replyLength).reply;
}

inline ControlResult VendorWrite(VirtualDongle& dongle, std::uint16_t address, Bytes data) {
    const SetupPacket setup{0x40, kFirmwareLoadRequest, address, 0,
                            static_cast<std::uint16_t>(data.size())};
    return dongle.ControlTransfer(setup, data);
}

// Holds the CPU, writes the records, releases it: what the host's firmware download does.
inline void LoadFirmware(VirtualDongle& dongle, const std::vector<FirmwareRecord>& records) {
    VendorWrite(dongle, kCpuControlAddress, {0x01});
    for (const FirmwareRecord& r : records)
        VendorWrite(dongle, r.address, r.data);
    VendorWrite(dongle, kCpuControlAddress, {0x00});
}

inline std::shared_ptr<VirtualDongle> WriterDongle(BoardKind board) {
    DongleConfig config;
    config.board = board;
    auto dongle = std::make_shared<VirtualDongle>(config);
    LoadFirmware(*dongle, StandInFirmwareRecords());
    return dongle;
}

inline std::shared_ptr<VirtualDongle> McuRomDongle() {
    DongleConfig config;
    config.kind = DongleKind::McuRom;
    config.board = BoardKind::None;
    return std::make_shared<VirtualDongle>(config);
}

// Names parameterised cases after their `name` member.
struct CaseName {
    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& p) const {
        return p.param.name;
    }
};

inline Bytes PatternPage(std::uint8_t seed) {
    Bytes page(256);
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
    return page;
}

// A raw 38-byte request header.
inline Bytes Header(const usb::TransferRequest& request, std::size_t dataBytes = 0) {
    Bytes buffer(usb::kTransferRequestSize + dataBytes, 0);
    request.WriteTo(buffer);
    return buffer;
}

}  // namespace qdm::sim::test
