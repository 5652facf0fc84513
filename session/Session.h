#pragma once
// What a front end runs with: the USB driver the process picked (virtual dongle or the platform's
// own, optionally traced), the dongle firmware text, and the hooks the board operations use.
// Both programs set themselves up through it, so --simulate means the same in each.

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/SessionOptions.h"
#include "sim/Simulation.h"
#include "usb/UsbDriver.h"

namespace qdm::session {

// Why a session could not be made: options that CheckSessionOptions refuses, a file, or a
// --device that is not attached.
enum class SetupProblem { Options, File, NoDevice };

class Session {
  public:
    // Sets the process up for `options`; null (with the reason written to `err` and its kind to
    // `problem`) when that cannot be done: an unknown board name, a fault it cannot inject, a
    // --firmware file that cannot be read, a trace file or --sim-dump folder that cannot be
    // created, a trace or --sim-dump file that is the firmware file, or a --device that is not
    // attached. One session at a time: it owns the process's driver, sleep hook and dump folder.
    //
    // Several boards in --simulate plug several virtual dongles, sim:1, sim:2, ..., each with its
    // own faults. With --device sim:N only dongle N is made: a process that may touch no other
    // needs none (a gang's children each simulate their own).
    static std::unique_ptr<Session> Create(const SessionOptions& options, std::ostream& err,
                                           SetupProblem* problem = nullptr);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    // The virtual dongle, when the session simulates one: the selected one, or the first.
    [[nodiscard]] sim::Simulation* Simulation() { return simulation_ ? &*simulation_ : nullptr; }
    // The board of that virtual dongle as --simulate names it; "" on hardware.
    [[nodiscard]] std::string SimulatedBoard() const;
    // The board of virtual dongle `id` ("sim:2"); "" for any other ID.
    [[nodiscard]] std::string SimulatedBoard(std::string_view id) const;

    // The dongles attached now, with their IDs, whichever is selected.
    std::vector<usb::DeviceLocation> Dongles();
    // Makes the dongle with `id` device 0 and hides every other one; false, with nothing
    // changed, when it is not attached.
    bool Select(const std::string& id);
    // Selects the first dongle attached now, if any, so that a dongle plugged in later is not
    // taken for it; false when none is.
    bool SelectFirst();
    // The selected dongle's ID; "" while none is selected.
    [[nodiscard]] const std::string& DeviceId() const { return deviceId_; }

    // Reads the dongle firmware into State().FirmwareText. False (with `where` naming the file)
    // when it cannot be read; `problem`, when given, then says why in a few lines: the reason,
    // and for a file looked up and found nowhere, every place it was looked for and where it
    // belongs.
    bool LoadFirmwareText(std::string& where, std::string* problem = nullptr);

    // What the window does when it first shows: the firmware text read, no firmware loaded yet.
    // False, with `problem` as above, when the file cannot be read or holds no text the firmware
    // download would take: a run then fails there, unless the writer firmware already runs.
    bool PrepareForRun(std::string& problem);
    // After a run (the command line) or at the end (the window) on the virtual dongle: its flash
    // written to the --sim-dump folder, said on `out`. False, with `error`, when that failed.
    bool AfterRun(std::ostream& out, std::string& error);

  private:
    // Only Create makes sessions; make_unique needs a public constructor, the key keeps it so.
    struct Key {};

  public:
    explicit Session(Key /*unused*/) {}

  private:
    struct SimulatedDongle {
        unsigned number = 0;
        std::string board;
        std::shared_ptr<sim::VirtualDongle> dongle;
    };
    bool Simulate(std::ostream& err);

    SessionOptions options_;
    std::optional<sim::Simulation> simulation_;
    std::vector<SimulatedDongle> simulated_;
    std::shared_ptr<usb::UsbDriver> driver_;  // every dongle; the active driver selects from it
    std::string deviceId_;
    std::uint8_t dumpFilesEnabled_ = 1;  // the program's switch, given back at the end
};

}  // namespace qdm::session
