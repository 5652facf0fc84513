#pragma once
// What a front end runs with: the USB driver the process picked (virtual dongle or the platform's
// own, optionally traced), the dongle firmware text, and the hooks the board operations use.
// Both programs set themselves up through it, so --simulate means the same in each.

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "session/SessionOptions.h"
#include "sim/Simulation.h"

namespace qdm::session {

// Why a session could not be made: options that CheckSessionOptions refuses, or a file.
enum class SetupProblem { Options, File };

class Session {
  public:
    // Sets the process up for `options`; null (with the reason written to `err` and its kind to
    // `problem`) when that cannot be done: an unknown board name, a fault it cannot inject or a
    // trace file that cannot be created. One session at a time: it owns the process's driver
    // and sleep hook.
    static std::unique_ptr<Session> Create(const SessionOptions& options, std::ostream& err,
                                           SetupProblem* problem = nullptr);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    // The virtual dongle, when the session simulates one.
    [[nodiscard]] sim::Simulation* Simulation() { return simulation_ ? &*simulation_ : nullptr; }

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
    // written to the --sim-dump folder.
    void AfterRun(std::ostream& out);

  private:
    // Only Create makes sessions; make_unique needs a public constructor, the key keeps it so.
    struct Key {};

  public:
    explicit Session(Key /*unused*/) {}

  private:
    SessionOptions options_;
    std::optional<sim::Simulation> simulation_;
};

}  // namespace qdm::session
