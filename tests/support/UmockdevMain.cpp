// main() of the suites that run over the emulated kernel USB interface. umockdev's preload
// library must be loaded before anything else in the process, so a process started without it
// starts itself again with it, as umockdev-wrapper would.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/kernel/KernelUsbEmulator.h"

int main(int argc, char** argv) {
    if (!qdm::sim::UnderUmockdevPreload() && std::getenv("QDM_UMOCKDEV_REEXEC") == nullptr) {
        const char* preload = std::getenv("LD_PRELOAD");
        std::string libraries = preload != nullptr && *preload != '\0' ? preload : "";
        if (!libraries.empty()) libraries += ':';
        libraries += "libumockdev-preload.so.0";
        setenv("LD_PRELOAD", libraries.c_str(), 1);
        // Under AddressSanitizer the preload library comes before its runtime; that is fine.
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::string options = asan != nullptr ? asan : "";
        options += std::string(options.empty() ? "" : ":") + "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        setenv("QDM_UMOCKDEV_REEXEC", "1", 1);  // once only, should the preload fail to load
        execv("/proc/self/exe", argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
