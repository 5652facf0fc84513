#include "workflows/DongleCheck.h"

#include <exception>

#include "protocol/Usbfunctions.h"
#include "state/DiagnosticLog.h"
#include "state/Mainprocess.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qdm {

bool OperationInProgress() {
    return State().OperationBusy != 0;
}

bool ConfirmDongle() {
    ProgramState& state = State();
    if (state.OperationBusy != 0) return false;
    bool present = false;
    try {
        present = CheckDonglePresence();
    } catch (const std::exception& e) {
        Diagnose([&] { return std::string("presence check failed: ") + e.what(); });
        present = false;
    }
    const bool ours =
        present && state.DetectedVID == ExpectedVID && state.DetectedPID == ExpectedPID;
    state.DongleConnected = ours ? 1 : 0;
    return ours;
}

namespace {
std::optional<bool>& ForcedWindows7() {
    static std::optional<bool> forced;
    return forced;
}
}  // namespace

void SetWindows7Condition(std::optional<bool> forced) {
    ForcedWindows7() = forced;
}

bool IsWindows7Workstation() {
    if (ForcedWindows7()) return *ForcedWindows7();
#if defined(_WIN32)
    // GetVersionEx lies to programs without a manifest; RtlGetVersion does not.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return false;
    const auto query = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (query == nullptr) return false;
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (query(&info) != 0) return false;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion == 6 &&
           info.dwMinorVersion == 1 && info.wProductType == VER_NT_WORKSTATION;
#else
    return false;
#endif
}

}  // namespace qdm
