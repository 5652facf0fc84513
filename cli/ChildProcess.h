#pragma once
// A child process of this program: the same executable with other arguments, its standard
// output and error read through pipes, in a process group of its own so that the console's
// Ctrl-C reaches only the parent, which decides what the children get.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qdm::cli {

class ChildProcess {
  public:
    enum class Stream { Output, Errors };
    struct Ready {
        ChildProcess* child;
        Stream stream;
    };

    // Whether this build can find its own executable to start.
    static bool Supported();

    // Starts this program's executable with `args`; null, with `error`, when it cannot.
    static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& args,
                                               std::string& error);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // A child still running is killed and reaped: none outlives the parent's command.
    ~ChildProcess();

    // Whether its standard output or error has not reached its end yet.
    [[nodiscard]] bool IsOpen(Stream stream) const;
    // Appends what is there from `stream` to `text`; false, with the stream closed, at its end.
    bool ReadFrom(Stream stream, std::string& text);

    // Waits for the child to end once both streams are closed; its exit status, or 128 + the
    // signal that ended it (on Windows, the same number for Terminate and Kill).
    int Wait();
    // Asks it to stop, or makes it.
    void Terminate();
    void Kill();

    // Waits until an open stream of `children` has something to read (or its end), for at most
    // `milliseconds` or until a Ctrl-C arrives; the ones that have.
    static std::vector<Ready> Readable(const std::vector<ChildProcess*>& children,
                                       int milliseconds);

  private:
    struct System;  // the platform's handles of the process and its pipes

    ChildProcess();

    std::unique_ptr<System> system_;
    std::optional<int> status_;
};

// While it lives, the console's Ctrl-C is counted instead of ending this process (the children
// do not see it), and it cuts a ChildProcess::Readable wait short.
class InterruptCount {
  public:
    InterruptCount();
    InterruptCount(const InterruptCount&) = delete;
    InterruptCount& operator=(const InterruptCount&) = delete;
    ~InterruptCount();

    [[nodiscard]] int Count() const;
};

}  // namespace qdm::cli
