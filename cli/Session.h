#pragma once
// What a command runs with: the USB driver the process picked (virtual dongle or the platform's
// own, optionally traced), the dongle firmware text, and the hooks the board operations use.

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "cli/Options.h"
#include "sim/Simulation.h"

namespace qdm::cli {

class Session {
  public:
    // Sets the process up for `options`; nullopt (with the reason written to `err`) when that
    // cannot be done: an unknown board name or a trace file that cannot be created.
    static std::unique_ptr<Session> Create(const GlobalOptions& options, std::ostream& err);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    // The virtual dongle, when the session simulates one.
    [[nodiscard]] sim::Simulation* Simulation() { return simulation_ ? &*simulation_ : nullptr; }

    // Reads the dongle firmware into State().FirmwareText. False (with `where` naming the file)
    // when it cannot be read.
    bool LoadFirmwareText(std::string& where);

    // What the window does when it first shows: the firmware text read (a missing file is
    // reported; the run then fails at the firmware download), no firmware loaded yet.
    void PrepareForRun(std::ostream& out);
    // After a run on the virtual dongle: its flash written to the --sim-dump folder.
    void AfterRun(std::ostream& out);

  private:
    Session() = default;

    GlobalOptions options_;
    std::optional<sim::Simulation> simulation_;
};

}  // namespace qdm::cli
