#include "cli/ChildProcess.h"

#include <array>
#include <atomic>
#include <cstddef>

#if defined(_WIN32)
// clang-format off
#include <windows.h>
// clang-format on

#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;
#endif

namespace qdm::cli {

namespace {

constexpr std::array<ChildProcess::Stream, 2> kStreams = {ChildProcess::Stream::Output,
                                                          ChildProcess::Stream::Errors};

std::size_t Index(ChildProcess::Stream stream) {
    return stream == ChildProcess::Stream::Output ? 0 : 1;
}

// Ctrl-C presses while an InterruptCount lives.
std::atomic<int> interrupts{0};

}  // namespace

int InterruptCount::Count() const {
    return interrupts.load();
}

#if defined(_WIN32)

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// Windows has no exit signals; a stopped child gets the status a POSIX one would show.
constexpr UINT kTerminatedStatus = 128 + 15;
constexpr UINT kKilledStatus = 128 + 9;

// Every pipe reader and the Ctrl-C handler report here, so that one wait covers all children.
struct Mailbox {
    std::mutex mutex;
    std::condition_variable changed;
};

Mailbox& Mail() {
    static Mailbox mailbox;
    return mailbox;
}

// The parent's end of one pipe. Anonymous pipes cannot be waited on together, so a thread
// reads each one into `pending` and says so on the mailbox.
class PipeReader {
  public:
    explicit PipeReader(Handle end) : end_(std::move(end)), thread_([this] { Run(); }) {}
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;
    // Ends once the pipe does: the caller sees to it that no process holds its write end.
    ~PipeReader() {
        {
            const std::lock_guard lock(Mail().mutex);
            closing_ = true;
        }
        Mail().changed.notify_all();
        thread_.join();
    }

    // With the mailbox locked: whether Take has something to say.
    [[nodiscard]] bool Ready() const { return !pending_.empty() || ended_; }

    // Appends what came to `text`; false once the pipe has ended and all of it was taken.
    bool Take(std::string& text) {
        const std::lock_guard lock(Mail().mutex);
        if (pending_.empty()) return !ended_;
        text += pending_;
        pending_.clear();
        Mail().changed.notify_all();
        return true;
    }

  private:
    // A child that writes faster than the parent reads waits for it, as at a full pipe.
    static constexpr std::size_t kMaxPending = std::size_t{64} * 1024;

    void Run() {
        std::array<char, 4096> chunk{};
        for (;;) {
            {
                std::unique_lock lock(Mail().mutex);
                Mail().changed.wait(lock,
                                    [this] { return pending_.size() < kMaxPending || closing_; });
            }
            DWORD got = 0;
            const bool read = ReadFile(end_.get(), chunk.data(), static_cast<DWORD>(chunk.size()),
                                       &got, nullptr) != 0;
            {
                const std::lock_guard lock(Mail().mutex);
                if (!read)
                    ended_ = true;
                else if (!closing_)
                    pending_.append(chunk.data(), got);
            }
            Mail().changed.notify_all();
            if (!read) return;
        }
    }

    Handle end_;
    std::string pending_;
    bool ended_ = false;
    bool closing_ = false;
    std::thread thread_;  // last: it starts with everything above in place
};

// The executable this process runs, which the children run too.
std::wstring SelfPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD got = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (got == 0) return {};
        if (got < path.size()) {
            path.resize(got);
            return path;
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

// The arguments came in the ANSI code page, and the child's runtime turns its command line
// back into it.
bool Widen(const std::string& text, std::wstring& wide) {
    wide.clear();
    if (text.empty()) return true;
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (size <= 0) return false;
    wide.resize(static_cast<std::size_t>(size));
    return MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), size) == size;
}

// One argument as the child's runtime splits its command line: in quotes where it has a space
// or a quote, a quote escaped by a backslash, and backslashes doubled only where a quote
// follows them (the closing one included).
void AppendQuoted(const std::wstring& arg, std::wstring& line) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::string WindowsError(const char* what) {
    return std::string(what) + " (Windows error " + std::to_string(GetLastError()) + ")";
}

}  // namespace

struct ChildProcess::System {
    Handle process;
    std::array<std::unique_ptr<PipeReader>, 2> readers;  // standard output and error
};

ChildProcess::ChildProcess() : system_(std::make_unique<System>()) {}

bool ChildProcess::Supported() {
    return !SelfPath().empty();
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& args,
                                                  std::string& error) {
    const std::wstring self = SelfPath();
    if (self.empty()) {
        error = WindowsError("cannot find this program's executable");
        return nullptr;
    }
    // The program's name is split by other rules (no escapes), and a path holds no quote.
    std::wstring line = L"\"" + self + L"\"";
    std::wstring wide;
    for (const std::string& arg : args) {
        if (!Widen(arg, wide)) {
            error = "cannot pass the argument " + arg + " on";
            return nullptr;
        }
        line += L' ';
        AppendQuoted(wide, line);
    }

    // The parent's ends are never inheritable, and the child's only for the call that hands
    // them on: a stray write end in another child would keep a pipe open after its child ended.
    std::array<Handle, 2> reads;
    std::array<Handle, 2> writes;
    for (std::size_t i = 0; i < 2; ++i) {
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        if (CreatePipe(&read, &write, nullptr, 0) == 0) {
            error = WindowsError("cannot make a pipe");
            return nullptr;
        }
        reads[i].reset(read);
        writes[i].reset(write);
        if (SetHandleInformation(write, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) == 0) {
            error = WindowsError("cannot hand a pipe on");
            return nullptr;
        }
    }
    std::array<HANDLE, 2> inherited = {writes[0].get(), writes[1].get()};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (InitializeProcThreadAttributeList(list, 1, 0, &size) == 0) {
        error = WindowsError("cannot list the handles a child gets");
        return nullptr;
    }
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                  sizeof inherited, nullptr, nullptr) == 0) {
        error = WindowsError("cannot list the handles a child gets");
        DeleteProcThreadAttributeList(list);
        return nullptr;
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullptr;
    startup.StartupInfo.hStdOutput = writes[0].get();
    startup.StartupInfo.hStdError = writes[1].get();
    startup.lpAttributeList = list;
    PROCESS_INFORMATION started{};
    // A group of its own: the console's Ctrl-C is then not delivered to it.
    const BOOL created = CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT,
                                        nullptr, nullptr, &startup.StartupInfo, &started);
    if (created == 0) error = WindowsError("cannot start this program's executable");
    DeleteProcThreadAttributeList(list);
    if (created == 0) return nullptr;
    CloseHandle(started.hThread);
    // The child holds its ends now; the pipes end when it does.
    for (Handle& write : writes)
        write.reset();

    std::unique_ptr<ChildProcess> child(new ChildProcess);
    child->system_->process.reset(started.hProcess);
    for (std::size_t i = 0; i < 2; ++i)
        child->system_->readers[i] = std::make_unique<PipeReader>(std::move(reads[i]));
    return child;
}

ChildProcess::~ChildProcess() {
    if (system_->process && !status_) {
        Kill();
        Wait();
    }
}

bool ChildProcess::IsOpen(Stream stream) const {
    return system_->readers[Index(stream)] != nullptr;
}

bool ChildProcess::ReadFrom(Stream stream, std::string& text) {
    std::unique_ptr<PipeReader>& reader = system_->readers[Index(stream)];
    if (!reader) return false;
    if (reader->Take(text)) return true;
    reader.reset();
    return false;
}

int ChildProcess::Wait() {
    if (status_) return *status_;
    DWORD code = 0;
    if (WaitForSingleObject(system_->process.get(), INFINITE) != WAIT_OBJECT_0 ||
        GetExitCodeProcess(system_->process.get(), &code) == 0)
        return *(status_ = -1);
    status_ = static_cast<int>(code);
    return *status_;
}

// The children install no console handler, so a Ctrl-Break would end them as abruptly as this
// does, and needs no console shared with them.
void ChildProcess::Terminate() {
    if (system_->process && !status_) TerminateProcess(system_->process.get(), kTerminatedStatus);
}

void ChildProcess::Kill() {
    if (system_->process && !status_) TerminateProcess(system_->process.get(), kKilledStatus);
}

std::vector<ChildProcess::Ready> ChildProcess::Readable(const std::vector<ChildProcess*>& children,
                                                        int milliseconds) {
    std::vector<Ready> ready;
    std::unique_lock lock(Mail().mutex);
    const int interrupted = interrupts.load();
    Mail().changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        ready.clear();
        for (ChildProcess* child : children)
            for (const Stream stream : kStreams) {
                const std::unique_ptr<PipeReader>& reader = child->system_->readers[Index(stream)];
                if (reader && reader->Ready()) ready.push_back({child, stream});
            }
        return !ready.empty() || interrupts.load() != interrupted;
    });
    return ready;
}

namespace {

BOOL WINAPI CountInterrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    {
        const std::lock_guard lock(Mail().mutex);
        interrupts.fetch_add(1);
    }
    Mail().changed.notify_all();
    return TRUE;
}

}  // namespace

InterruptCount::InterruptCount() {
    interrupts = 0;
    SetConsoleCtrlHandler(CountInterrupt, TRUE);
}

InterruptCount::~InterruptCount() {
    SetConsoleCtrlHandler(CountInterrupt, FALSE);
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

struct ChildProcess::System {
    pid_t pid = -1;
    std::array<int, 2> fds = {-1, -1};  // read ends of standard output and error; -1 once closed
};

ChildProcess::ChildProcess() : system_(std::make_unique<System>()) {}

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
    child->system_->pid = pid;
    child->system_->fds = {out.Take(0), err.Take(0)};
    return child;
}

ChildProcess::~ChildProcess() {
    for (const int fd : system_->fds)
        if (fd >= 0) close(fd);
    if (system_->pid > 0 && !status_) {
        Kill();
        Wait();
    }
}

bool ChildProcess::IsOpen(Stream stream) const {
    return system_->fds[Index(stream)] >= 0;
}

bool ChildProcess::ReadFrom(Stream stream, std::string& text) {
    int& fd = system_->fds[Index(stream)];
    if (fd < 0) return false;
    char chunk[4096];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
        return true;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    close(fd);
    fd = -1;
    return false;
}

int ChildProcess::Wait() {
    if (status_) return *status_;
    int raw = 0;
    while (waitpid(system_->pid, &raw, 0) < 0) {
        if (errno != EINTR) return *(status_ = -1);
    }
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return *status_;
}

void ChildProcess::Terminate() {
    if (system_->pid > 0 && !status_) kill(system_->pid, SIGTERM);
}

void ChildProcess::Kill() {
    if (system_->pid > 0 && !status_) kill(system_->pid, SIGKILL);
}

std::vector<ChildProcess::Ready> ChildProcess::Readable(const std::vector<ChildProcess*>& children,
                                                        int milliseconds) {
    std::vector<pollfd> polled;
    std::vector<Ready> owners;
    for (ChildProcess* child : children)
        for (const Stream stream : kStreams)
            if (child->IsOpen(stream)) {
                polled.push_back({child->system_->fds[Index(stream)], POLLIN, 0});
                owners.push_back({child, stream});
            }
    std::vector<Ready> ready;
    // A signal (Ctrl-C) ends the wait early.
    if (poll(polled.data(), polled.size(), milliseconds) <= 0) return ready;
    for (std::size_t i = 0; i < polled.size(); ++i)
        if ((polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ready.push_back(owners[i]);
    return ready;
}

namespace {

using Handler = void (*)(int);
Handler previousHandler = SIG_DFL;

extern "C" void CountInterrupt(int /*signal*/) {
    interrupts.fetch_add(1);
    // Some systems take the handler away once it ran.
    std::signal(SIGINT, CountInterrupt);
}

}  // namespace

InterruptCount::InterruptCount() {
    interrupts = 0;
    previousHandler = std::signal(SIGINT, CountInterrupt);
}

InterruptCount::~InterruptCount() {
    std::signal(SIGINT, previousHandler);
}

#endif

}  // namespace qdm::cli
