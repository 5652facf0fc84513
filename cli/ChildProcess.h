#pragma once
// A child process of this program: the same executable with other arguments, its standard
// output and error read through pipes, in a process group of its own so that the terminal's
// Ctrl-C reaches only the parent, which decides what the children get.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qdm::cli {

class ChildProcess {
  public:
    // Whether this build can start children (not yet on Windows).
    static bool Supported();

    // Starts this program's executable with `args`; null, with `error`, when it cannot.
    static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args,
                                               std::string& error);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // A child still running is killed and reaped: none outlives the parent's command.
    ~ChildProcess();

    // The read ends of its standard output and error; -1 once closed.
    [[nodiscard]] int Output() const { return out_; }
    [[nodiscard]] int Errors() const { return err_; }
    // Reads what is there from `fd` (one of the two) into `text`; false, with the pipe closed,
    // at its end.
    bool ReadFrom(int fd, std::string& text);

    // Waits for the child to end once both pipes are closed; its exit status, or 128 + the
    // signal that ended it.
    int Wait();
    // Asks it to stop (SIGTERM), or makes it (SIGKILL).
    void Terminate();
    void Kill();

    // Waits until one of `fds` has something to read (or its end), for at most `milliseconds`
    // or until a signal arrives; the ones that have.
    static std::vector<int> Readable(const std::vector<int>& fds, int milliseconds);

  private:
    ChildProcess() = default;

    int pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::optional<int> status_;
};

}  // namespace qdm::cli
