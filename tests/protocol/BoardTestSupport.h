#pragma once
// A fixture that runs the board operations against a virtual dongle: the writer firmware loaded
// (writer dongles), every pump recorded with the progress it showed, sleeps recorded instead of
// slept, dump files sent to a fresh folder. Lists are read back from the dongle's exchange log.

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "protocol/HostHooks.h"
#include "sim/Simulation.h"
#include "state/Mainprocess.h"
#include "tests/sim/SimTestSupport.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"
#include "usb/UsbDriver.h"

namespace qdm::test {

using Bytes = std::vector<std::uint8_t>;
using sim::test::List;

struct Shown {
    std::string text;
    std::uint8_t value = 0;
    friend bool operator==(const Shown&, const Shown&) = default;
};

inline void PrintTo(const Shown& s, std::ostream* os) {
    *os << '"' << s.text << "\" " << int{s.value};
}

// An image whose bytes differ from page to page and from chip erase (0xFF).
inline Bytes TestImage(std::size_t size, std::size_t seed = 1) {
    Bytes image(size);
    auto x = static_cast<std::uint32_t>(seed);
    for (auto& b : image) {
        x = x * 1664525U + 1013904223U;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return image;
}

inline std::uint32_t OneBits(std::span<const std::uint8_t> bytes) {
    std::uint32_t n = 0;
    for (const std::uint8_t b : bytes)
        n += static_cast<std::uint32_t>(std::popcount(b));
    return n;
}

// A list as the dongle receives it: zero-filled to whole 512-byte blocks.
inline Bytes L(std::initializer_list<std::uint8_t> bytes) {
    return List().Add(bytes).Padded();
}

class BoardTest : public ::testing::Test {
  public:
    void SetUp() override {
        ResetProgramState();
        // The operations' own pump points, not the ones that only keep a window alive.
        SetPumpHook([this] { pumps.push_back({State().ProgressText, State().ProgressValue}); });
        SetPumpWhileBusy(false);
        SetSleepHook([this](std::chrono::milliseconds d) { sleeps.push_back(d); });
        std::random_device random;
        dumps = std::filesystem::temp_directory_path() /
                ("qdm-board-test-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(dumps);
        SetDumpDirectory(dumps);
    }

    void TearDown() override {
        usb::SetActiveDriver(nullptr);
        SetPumpHook({});
        SetPumpWhileBusy(true);
        SetSleepHook({});
        SetDumpDirectory({});
        ResetProgramState();
        std::error_code ec;
        std::filesystem::remove_all(dumps, ec);
    }

    // Plugs a dongle for "k3r8", "k3r1", "demoboard" or "mcurom"; writer dongles get their
    // firmware. Exchange numbers count from the first list a test sends.
    void Attach(std::string_view board) {
        auto made = sim::MakeSimulation(board);
        ASSERT_TRUE(made);
        driver = made->driver;
        dongle = made->dongle;
        usb::SetActiveDriver(driver);
        if (board != "mcurom") {
            Bytes text = sim::StandInFirmwareFile();
            ExchangeNibbles(text);
            ASSERT_TRUE(DownloadFirmware(text, 0));
            ASSERT_EQ(dongle->State(), sim::FirmwareState::Writer);
        }
        Mark();
    }

    // Forget what was sent so far.
    void Mark() {
        dongle->ClearExchangeLog();
        dongle->ResetExchangeCounter();
        pumps.clear();
        sleeps.clear();
        resetsAtMark = dongle->PortResets();
    }

    [[nodiscard]] std::vector<Bytes> Sent() const {
        std::vector<Bytes> lists;
        for (const auto& record : dongle->ExchangeLog())
            lists.push_back(record.command);
        return lists;
    }
    [[nodiscard]] std::uint32_t Resets() const { return dongle->PortResets() - resetsAtMark; }
    [[nodiscard]] Bytes DumpFile(const std::string& name) const {
        const auto size = FileSizeOf(dumps / name);
        Bytes bytes(size < 0 ? 0 : static_cast<std::size_t>(size));
        ReadFileInto(dumps / name, bytes);
        return bytes;
    }
    // The lists sent since the mark, as the dongle received them, and the port resets.
    void ExpectSent(const std::vector<Bytes>& lists, std::uint32_t resets) const {
        EXPECT_EQ(Sent(), lists);
        EXPECT_EQ(Resets(), resets);
    }
    // The end state a finished operation leaves: nothing open, nothing pending.
    void ExpectNothingLeftOpen() const {
        EXPECT_EQ(driver->OpenHandles(), 0U);
        EXPECT_EQ(driver->OpenEvents(), 0U);
        EXPECT_EQ(driver->PendingRequests(), 0U);
    }

    std::shared_ptr<sim::VirtualDriver> driver;
    std::shared_ptr<sim::VirtualDongle> dongle;
    std::vector<Shown> pumps;
    std::vector<std::chrono::milliseconds> sleeps;
    std::filesystem::path dumps;
    std::uint32_t resetsAtMark = 0;
};

}  // namespace qdm::test
