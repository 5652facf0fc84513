#pragma once
// The fixture of the end-to-end tests that run over both USB paths: the in-process virtual
// driver, and libusb against the emulated kernel USB interface. A test starts its dongle with
// Start(); waits through SleepFor are counted, never slept.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "protocol/HostHooks.h"
#include "protocol/Usbfunctions.h"
#include "sim/Simulation.h"
#include "sim/StandInFirmware.h"
#include "state/Mainprocess.h"
#include "tests/support/DongleRig.h"
#include "usb/Fileiofunctions.h"
#include "usb/FirmwareLoader.h"

namespace qdm::test {

class OverBothPaths : public ::testing::TestWithParam<UsbPath> {
  protected:
    static constexpr std::uint32_t kRealTimeTransferWaitMs = 250;

    void SetUp() override {
        if (const std::string why = WhyUnavailable(GetParam()); !why.empty()) GTEST_SKIP() << why;
        // Over the emulated kernel time is real: a reply that never comes costs this wait.
        if (OverKernel()) SetTransferWaitMs(kRealTimeTransferWaitMs);
        SetSleepHook([this](std::chrono::milliseconds d) {
            slept_.push_back(d);
            if (onSleep_) onSleep_(slept_.size());
        });
    }
    void TearDown() override {
        rig_.reset();
        SetSleepHook(nullptr);
        SetTransferWaitMs(kTransferWaitMs);
        ResetProgramState();
    }
    DongleRig& Start(sim::DongleConfig config = {}) {
        rig_.reset();  // one testbed and one libusb context at a time
        rig_ = std::make_unique<DongleRig>(GetParam(), std::move(config));
        return *rig_;
    }
    [[nodiscard]] DongleRig& Rig() { return *rig_; }
    [[nodiscard]] bool OverKernel() const { return GetParam() == UsbPath::OverEmulatedKernel; }

    static std::vector<std::uint8_t> FirmwareText() {
        auto text = sim::StandInFirmwareFile();
        ExchangeNibbles(text);
        return text;
    }

    std::vector<std::chrono::milliseconds> slept_;
    std::function<void(std::size_t)> onSleep_;  // called with the number of sleeps so far

  private:
    std::unique_ptr<DongleRig> rig_;
};

struct PathNamer {
    std::string operator()(const ::testing::TestParamInfo<UsbPath>& info) const {
        return PathName(info.param);
    }
};

}  // namespace qdm::test

// Runs a suite over every path this build has; the emulated kernel's cases are named
// ".../OverEmulatedKernel".
#define QDM_OVER_BOTH_PATHS(Suite)                                                             \
    INSTANTIATE_TEST_SUITE_P(Paths, Suite, ::testing::ValuesIn(::qdm::test::AvailablePaths()), \
                             ::qdm::test::PathNamer())
