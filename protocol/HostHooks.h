#pragma once
// What the board operations need from the front end: a way to let the window process its
// pending messages between exchanges, a way to wait, and the folder the dump files go to.
// Tests replace them so nothing sleeps for real.

#include <chrono>
#include <filesystem>
#include <functional>

namespace qdm {

using PumpHook = std::function<void()>;
using SleepHook = std::function<void(std::chrono::milliseconds)>;

// Lets the front end process its pending messages once (nothing by default). The operations
// pump at their own points, between their steps.
void PumpMessages();
void SetPumpHook(PumpHook hook);

// The longest a wait goes without pumping: a window that handles its events this often does
// not look frozen.
inline constexpr std::chrono::milliseconds kPumpSlice{20};

// Pumps as PumpMessages does, but where no operation has a pump point of its own: between the
// slices of a wait and after every exchange and port reset, so that no stretch of USB work holds
// the front end longer than a slice or one port reset. On unless turned off (a test that follows
// the operations' own pump points does).
void PumpWhileBusy();
void SetPumpWhileBusy(bool on);

// Waits for the given time: by default a real sleep in slices of kPumpSlice, with PumpWhileBusy
// after each.
void SleepFor(std::chrono::milliseconds duration);
void SetSleepHook(SleepHook hook);

// Folder of the read-back dump files unless set: DefaultDumpDirectory of the executable's folder.
// Empty: no dump files.
std::filesystem::path DumpDirectory();
void SetDumpDirectory(std::filesystem::path directory);

// The program's folder when files can be made there and it is no installed program's (whose
// folder belongs to the system, also to a program run as root), else the user's data folder
// (created when missing); empty when there is none.
std::filesystem::path DefaultDumpDirectory(const std::filesystem::path& programFolder);

}  // namespace qdm
