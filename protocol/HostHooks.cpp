#include "protocol/HostHooks.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

#include "usb/Fileiofunctions.h"

namespace qdm {

namespace {
PumpHook& Pump() {
    static PumpHook hook;
    return hook;
}
SleepHook& Sleep() {
    static SleepHook hook;
    return hook;
}
std::filesystem::path& Dumps() {
    static std::filesystem::path directory;
    return directory;
}
}  // namespace

void PumpMessages() {
    if (Pump()) Pump()();
}

void SetPumpHook(PumpHook hook) {
    Pump() = std::move(hook);
}

namespace {
bool& WhileBusy() {
    static bool on = true;
    return on;
}
}  // namespace

void PumpWhileBusy() {
    if (WhileBusy()) PumpMessages();
}

void SetPumpWhileBusy(bool on) {
    WhileBusy() = on;
}

void SleepFor(std::chrono::milliseconds duration) {
    if (Sleep()) {
        Sleep()(duration);
        return;
    }
    for (auto left = duration; left.count() > 0; left -= kPumpSlice) {
        std::this_thread::sleep_for(std::min(left, kPumpSlice));
        PumpWhileBusy();
    }
}

void SetSleepHook(SleepHook hook) {
    Sleep() = std::move(hook);
}

std::filesystem::path DumpDirectory() {
    if (!Dumps().empty()) return Dumps();
    return DefaultDumpDirectory(ExecutableDirectory());
}

std::filesystem::path DefaultDumpDirectory(const std::filesystem::path& programFolder) {
    if (!IsInstalledProgramFolder(programFolder) && IsWritableDirectory(programFolder))
        return programFolder;
    const std::filesystem::path user = UserDataDirectory();
    std::error_code ec;
    if (!user.empty()) std::filesystem::create_directories(user, ec);
    return ec ? std::filesystem::path() : user;
}

void SetDumpDirectory(std::filesystem::path directory) {
    Dumps() = std::move(directory);
}

}  // namespace qdm
