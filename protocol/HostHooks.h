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

// Folder of the read-back dump files unless set: the executable's folder when files can be made
// there, else the user's data folder (created when missing), as an installed program's folder
// belongs to the system.
std::filesystem::path DumpDirectory();
void SetDumpDirectory(std::filesystem::path directory);

}  // namespace qdm
