#pragma once
// What a command runs with: the global options, its output, and the dongle session it may need.
//
// Output: human lines go to stdout, or to stderr under --json and --progress=jsonl so that stdout
// carries only JSON, and nowhere under --quiet; errors and warnings always go to stderr. The
// result object collects the command's facts and is written when the command ends.

#include <iosfwd>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>

#include "cli/Options.h"

namespace qdm::session {
class Session;
}

namespace qdm::cli {

using session::Session;

class Output {
  public:
    Output(const GlobalOptions& options, std::ostream& out, std::ostream& err, bool outTerminal,
           bool errTerminal);

    std::ostream& Human() { return *human_; }
    // Where --progress=jsonl writes its lines: standard output.
    std::ostream& Lines() { return out_; }
    // Whether the human lines reach a terminal, so a live progress bar can be drawn there.
    bool HumanIsTerminal() const { return humanTerminal_; }

    // A failure: on stderr as "qdm-writer-cli: TEXT", and the result object's "message".
    void Error(std::string_view text);
    // Something the user should know that is no failure: on stderr, --quiet or not, and in the
    // result object's "warnings".
    void Warn(std::string_view text);

    nlohmann::ordered_json& Result() { return result_; }
    // The object --json prints: the program, the command and its exit status, then the result.
    [[nodiscard]] nlohmann::ordered_json ResultObject(std::string_view command, int code) const;

    // Ends the command: with --json writes the result object with the command and its exit
    // status as one line to stdout. Returns `code`.
    int Finish(std::string_view command, int code);

  private:
    const bool json_;
    const bool quiet_;
    std::ostream& out_;
    std::ostream& err_;
    std::ostream discard_{nullptr};
    std::ostream* human_;
    bool humanTerminal_;
    nlohmann::ordered_json result_ = nlohmann::ordered_json::object();
};

// What a command does to the dongle: a command that writes to it never guesses which of several
// it should take; one that looks at all of them takes none.
enum class DongleUse { Reads, Writes, All };

class Context {
  public:
    Context(const GlobalOptions& options, Output& output);
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context();

    const GlobalOptions& Options() const { return options_; }
    Output& Out() { return output_; }

    // The session with the dongle (or the virtual one), made on first use; nullptr, with the
    // reason reported, when it cannot be made. Without --device it takes the first dongle
    // attached and, when there are several, names it; a command that writes refuses then.
    Session* Dongle(DongleUse use = DongleUse::Reads);
    // The exit status for a session that could not be made: a file it could not create, options
    // it cannot take, a dongle that is not attached or a choice it would have to guess.
    [[nodiscard]] int DongleFailure() const { return dongleFailure_; }

  private:
    bool TakeFirstDongle(DongleUse use);

    const GlobalOptions& options_;
    Output& output_;
    std::unique_ptr<Session> session_;
    int dongleFailure_ = 0;
};

}  // namespace qdm::cli
