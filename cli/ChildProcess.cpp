#include "cli/ChildProcess.h"

#include <cerrno>
#include <cstring>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace qdm::cli {

#if defined(_WIN32)

// Windows would need CreateProcess with inherited pipe handles and a wait on several handles at
// once; until that is written, gang refuses there.
bool ChildProcess::Supported() {
    return false;
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>&,
                                                  std::string& error) {
    error = "child processes are not supported in this build";
    return nullptr;
}

ChildProcess::~ChildProcess() = default;
bool ChildProcess::ReadFrom(int, std::string&) {
    return false;
}
int ChildProcess::Wait() {
    return -1;
}
void ChildProcess::Terminate() {}
void ChildProcess::Kill() {}
std::vector<int> ChildProcess::Readable(const std::vector<int>&, int) {
    return {};
}

#else

namespace {

// Owns both ends of a pipe until they are handed on.
struct Pipe {
    int ends[2] = {-1, -1};
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    Pipe() {
        if (pipe(ends) != 0) ends[0] = ends[1] = -1;
    }
    ~Pipe() {
        for (const int end : ends)
            if (end >= 0) close(end);
    }
    [[nodiscard]] bool Open() const { return ends[0] >= 0; }
    int Take(int end) {
        const int fd = ends[end];
        ends[end] = -1;
        return fd;
    }
};

// The executable this process runs, which the children run too.
constexpr const char* kSelf = "/proc/self/exe";

}  // namespace

bool ChildProcess::Supported() {
    return access(kSelf, X_OK) == 0;
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& args,
                                                  std::string& error) {
    Pipe out;
    Pipe err;
    if (!out.Open() || !err.Open()) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return nullptr;
    }
    // No end may leak into a child but as its own standard output and error: a stray write end
    // would keep a pipe open after its child ended.
    for (const int fd : {out.ends[0], out.ends[1], err.ends[0], err.ends[1]})
        fcntl(fd, F_SETFD, FD_CLOEXEC);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, out.ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.ends[1], STDERR_FILENO);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> line = {kSelf};
    line.insert(line.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(line.size() + 1);
    for (std::string& arg : line)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, kSelf, &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        error = std::string("cannot start ") + kSelf + ": " + std::strerror(spawned);
        return nullptr;
    }
    std::unique_ptr<ChildProcess> child(new ChildProcess);
    child->pid_ = pid;
    child->out_ = out.Take(0);
    child->err_ = err.Take(0);
    return child;
}

ChildProcess::~ChildProcess() {
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
    if (pid_ > 0 && !status_) {
        Kill();
        Wait();
    }
}

bool ChildProcess::ReadFrom(int fd, std::string& text) {
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
        return true;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    close(fd);
    if (fd == out_) out_ = -1;
    if (fd == err_) err_ = -1;
    return false;
}

int ChildProcess::Wait() {
    if (status_) return *status_;
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0) {
        if (errno != EINTR) return *(status_ = -1);
    }
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return *status_;
}

void ChildProcess::Terminate() {
    if (pid_ > 0 && !status_) kill(pid_, SIGTERM);
}

void ChildProcess::Kill() {
    if (pid_ > 0 && !status_) kill(pid_, SIGKILL);
}

std::vector<int> ChildProcess::Readable(const std::vector<int>& fds, int milliseconds) {
    std::vector<pollfd> polled;
    polled.reserve(fds.size());
    for (const int fd : fds)
        polled.push_back({fd, POLLIN, 0});
    std::vector<int> ready;
    if (poll(polled.data(), polled.size(), milliseconds) <= 0) return ready;
    for (const pollfd& p : polled)
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) ready.push_back(p.fd);
    return ready;
}

#endif

}  // namespace qdm::cli
