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

// Lets the front end process its pending messages once (nothing by default).
void PumpMessages();
void SetPumpHook(PumpHook hook);

// The longest a wait goes without pumping: a window that handles its events this often does
// not look frozen.
inline constexpr std::chrono::milliseconds kPumpSlice{20};

// Waits for the given time: by default a real sleep in slices of kPumpSlice with the messages
// pumped after each.
void SleepFor(std::chrono::milliseconds duration);
void SetSleepHook(SleepHook hook);

// Folder of the read-back dump files unless set: the executable's folder when files can be made
// there, else the user's data folder (created when missing), as an installed program's folder
// belongs to the system.
std::filesystem::path DumpDirectory();
void SetDumpDirectory(std::filesystem::path directory);

}  // namespace qdm
