#include "state/SafeFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>
#include <utility>

#include "state/DiagnosticLog.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qdm {

namespace {

FileOutcome Failed(FileProblem problem, int error = 0) {
    return FileOutcome{problem, error, 0, 0};
}

// "a1b2c3d4e5f60718": unique enough within a folder, with O_EXCL to settle the rest.
std::string UniqueSuffix() {
    static std::atomic<std::uint64_t> counter{std::random_device{}()};
    static const std::uint64_t seed =
        (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
    char text[20];
    std::snprintf(text, sizeof text, "%016llx",
                  static_cast<unsigned long long>(seed ^ (counter++ * 0x9E3779B97F4A7C15ULL)));
    return text;
}

std::filesystem::path TemporaryBeside(const std::filesystem::path& file) {
    std::filesystem::path name = "." + file.filename().string() + "." + UniqueSuffix() + ".part";
    return file.has_parent_path() ? file.parent_path() / name : name;
}

constexpr int kCreateAttempts = 16;

}  // namespace

std::string FileOutcome::Reason() const {
    std::string cause;
    if (error != 0) {
#if defined(_WIN32)
        cause = std::system_category().message(error);
        while (!cause.empty() && (cause.back() == '\n' || cause.back() == '\r' ||
                                  cause.back() == ' ' || cause.back() == '.'))
            cause.pop_back();
#else
        cause = std::string(std::strerror(error)) + " (" + ErrnoName(error) + ")";
#endif
    }
    const auto with = [&cause](std::string text) {
        return cause.empty() ? text : text + ": " + cause;
    };
    switch (problem) {
        case FileProblem::None:
            return "no problem";
        case FileProblem::CannotOpen:
            return with("cannot open it");
        case FileProblem::NotRegular:
            return "not a regular file";
        case FileProblem::TooLarge:
            return "larger than " + std::to_string(limit) + " bytes";
        case FileProblem::SecondName:
            return "it has a second name (a hard link)";
        case FileProblem::CannotRead:
            return with("cannot read it");
        case FileProblem::CannotCreate:
            return with("cannot create it");
        case FileProblem::CannotWrite:
            return with("cannot write it");
    }
    return "unknown problem";
}

namespace {

std::vector<std::filesystem::path>& Claimed() {
    static std::vector<std::filesystem::path> files;
    return files;
}

}  // namespace

void ClaimOutputs(std::vector<std::filesystem::path> files) {
    Claimed() = std::move(files);
}

bool IsClaimedOutput(const std::filesystem::path& file) {
    const auto& claimed = Claimed();
    return std::any_of(claimed.begin(), claimed.end(),
                       [&file](const auto& output) { return IsSameFile(file, output); });
}

#if defined(_WIN32)

// --- Windows ----------------------------------------------------------------------------------

namespace {

int LastError() {
    return static_cast<int>(GetLastError());
}

class Handle {
  public:
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    HANDLE get() const { return h_; }
    HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

  private:
    HANDLE h_;
};

// Only a file on a disk, and not a folder or a reparse point (link) in itself.
FileOutcome CheckRegular(HANDLE h, BY_HANDLE_FILE_INFORMATION& info, bool single) {
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
        return Failed(FileProblem::NotRegular);
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return Failed(FileProblem::NotRegular);
    if (single && info.nNumberOfLinks > 1) return Failed(FileProblem::SecondName);
    return {};
}

// Windows opens no folder without backup semantics and says "access denied": that is a folder,
// not a file one may not read.
FileOutcome OpenFailed(const std::filesystem::path& file) {
    const int error = LastError();
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return Failed(FileProblem::NotRegular);
    return Failed(FileProblem::CannotOpen, error);
}

FileOutcome WriteAll(HANDLE h, std::span<const std::uint8_t> bytes, OVERLAPPED* at) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(h, bytes.data() + done, chunk, &written, at) || written == 0)
            return Failed(FileProblem::CannotWrite, LastError());
        done += written;
        if (at != nullptr && !(at->Offset == MAXDWORD && at->OffsetHigh == MAXDWORD)) {
            const std::uint64_t next = (std::uint64_t{at->OffsetHigh} << 32 | at->Offset) + written;
            at->Offset = static_cast<DWORD>(next);
            at->OffsetHigh = static_cast<DWORD>(next >> 32);
        }
    }
    return {};
}

}  // namespace

FileOutcome ReadRegularFile(const std::filesystem::path& file, std::uint64_t maxBytes,
                            std::vector<std::uint8_t>& bytes, std::size_t spare) {
    bytes.clear();
    Handle h(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) return OpenFailed(file);
    BY_HANDLE_FILE_INFORMATION info{};
    if (FileOutcome regular = CheckRegular(h.get(), info, false); !regular) return regular;
    const std::uint64_t size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    if (size > maxBytes) return FileOutcome{FileProblem::TooLarge, 0, size, maxBytes};
    bytes.reserve(static_cast<std::size_t>(size) + spare);
    bytes.resize(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        if (!ReadFile(h.get(), bytes.data() + done, chunk, &got, nullptr) || got == 0) {
            const int error = LastError();
            bytes.clear();
            return Failed(FileProblem::CannotRead, got == 0 ? 0 : error);
        }
        done += got;
    }
    return {};
}

FileOutcome RegularFileSize(const std::filesystem::path& file, std::uint64_t& size) {
    Handle h(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) return OpenFailed(file);
    BY_HANDLE_FILE_INFORMATION info{};
    if (FileOutcome regular = CheckRegular(h.get(), info, false); !regular) return regular;
    size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    return {};
}

FileOutcome ReplaceWithNewFile(const std::filesystem::path& file,
                               std::span<const std::uint8_t> bytes) {
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return Failed(FileProblem::NotRegular);
    std::filesystem::path temporary;
    HANDLE made = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < kCreateAttempts && made == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = TemporaryBeside(file);
        made = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (made == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            return Failed(FileProblem::CannotCreate, LastError());
    }
    if (made == INVALID_HANDLE_VALUE) return Failed(FileProblem::CannotCreate, ERROR_FILE_EXISTS);
    Handle h(made);
    FileOutcome written = WriteAll(h.get(), bytes, nullptr);
    CloseHandle(h.release());
    if (written && !MoveFileExW(temporary.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING))
        written = Failed(FileProblem::CannotWrite, LastError());
    if (!written) DeleteFileW(temporary.c_str());
    return written;
}

bool IsSameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto identity = [](const std::filesystem::path& p, BY_HANDLE_FILE_INFORMATION& info) {
        Handle h(CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return h.get() != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h.get(), &info);
    };
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return identity(a, x) && identity(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), append_(other.append_) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, nullptr);
        append_ = other.append_;
    }
    return *this;
}

OutputFile::~OutputFile() {
    Close();
}

bool OutputFile::IsOpen() const {
    return handle_ != nullptr;
}

void OutputFile::Close() {
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

FileOutcome OutputFile::Open(const std::filesystem::path& file, OutputMode mode,
                             unsigned /*permissions*/) {
    Close();
    // Appending writes go to the end of the file (Write), whoever else writes; reading and cutting
    // back need the rights a plain append-only handle lacks.
    const DWORD access = mode == OutputMode::Append ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
    Handle h(CreateFileW(file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                         nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) return Failed(FileProblem::CannotOpen, LastError());
    BY_HANDLE_FILE_INFORMATION info{};
    if (FileOutcome regular = CheckRegular(h.get(), info, true); !regular) return regular;
    handle_ = h.release();
    append_ = mode == OutputMode::Append;
    if (mode == OutputMode::Truncate) {
        if (FileOutcome emptied = Truncate(0); !emptied) {
            Close();
            return emptied;
        }
    }
    return {};
}

FileOutcome OutputFile::Write(std::span<const std::uint8_t> bytes) {
    if (!append_) return WriteAll(static_cast<HANDLE>(handle_), bytes, nullptr);
    // Both offsets all ones: the system writes at the end of the file as it is then.
    OVERLAPPED end{};
    end.Offset = MAXDWORD;
    end.OffsetHigh = MAXDWORD;
    return WriteAll(static_cast<HANDLE>(handle_), bytes, &end);
}

FileOutcome OutputFile::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return WriteAll(static_cast<HANDLE>(handle_), bytes, &at);
}

FileOutcome OutputFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(handle_), bytes.data(), static_cast<DWORD>(bytes.size()),
                  &got, &at) ||
        got != bytes.size())
        return Failed(FileProblem::CannotRead, LastError());
    return {};
}

FileOutcome OutputFile::Truncate(std::uint64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    if (!SetFileInformationByHandle(static_cast<HANDLE>(handle_), FileEndOfFileInfo, &end,
                                    sizeof end))
        return Failed(FileProblem::CannotWrite, LastError());
    return {};
}

FileOutcome OutputFile::Sync() {
    if (!FlushFileBuffers(static_cast<HANDLE>(handle_)))
        return Failed(FileProblem::CannotWrite, LastError());
    return {};
}

FileOutcome OutputFile::Lock() {
    OVERLAPPED whole{};
    if (!LockFileEx(static_cast<HANDLE>(handle_), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD,
                    &whole))
        return Failed(FileProblem::CannotWrite, LastError());
    return {};
}

std::uint64_t OutputFile::Size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(static_cast<HANDLE>(handle_), &size) || size.QuadPart < 0) return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

#else

// --- POSIX ------------------------------------------------------------------------------------

namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// Non-blocking, so that a FIFO without a writer (or reader) cannot hold the open up; never the
// process's controlling terminal.
constexpr int kOpenFlags = O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

FileOutcome WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::uint64_t* offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = offset != nullptr ? ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                                       static_cast<off_t>(*offset + done))
                                            : ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Failed(FileProblem::CannotWrite, n < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(n);
    }
    return {};
}

}  // namespace

FileOutcome ReadRegularFile(const std::filesystem::path& file, std::uint64_t maxBytes,
                            std::vector<std::uint8_t>& bytes, std::size_t spare) {
    bytes.clear();
    const Descriptor fd(::open(file.c_str(), O_RDONLY | kOpenFlags));
    if (fd.get() < 0) return Failed(FileProblem::CannotOpen, errno);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return Failed(FileProblem::CannotOpen, errno);
    if (!S_ISREG(status.st_mode)) return Failed(FileProblem::NotRegular);
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (size > maxBytes) return FileOutcome{FileProblem::TooLarge, 0, size, maxBytes};
    bytes.reserve(static_cast<std::size_t>(size) + spare);
    bytes.resize(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : 0;
            bytes.clear();
            return Failed(FileProblem::CannotRead, error);
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

FileOutcome RegularFileSize(const std::filesystem::path& file, std::uint64_t& size) {
    const Descriptor fd(::open(file.c_str(), O_RDONLY | kOpenFlags));
    struct stat status {};
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0)
        return Failed(FileProblem::CannotOpen, errno);
    if (!S_ISREG(status.st_mode)) return Failed(FileProblem::NotRegular);
    size = static_cast<std::uint64_t>(status.st_size);
    return {};
}

FileOutcome ReplaceWithNewFile(const std::filesystem::path& file,
                               std::span<const std::uint8_t> bytes) {
    struct stat status {};
    // A link is replaced by the rename, never followed; anything else but a file stays.
    if (::lstat(file.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode))
        return Failed(FileProblem::NotRegular);
    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < kCreateAttempts && fd < 0; ++attempt) {
        temporary = TemporaryBeside(file);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | kOpenFlags, 0666);
        if (fd < 0 && errno != EEXIST) return Failed(FileProblem::CannotCreate, errno);
    }
    if (fd < 0) return Failed(FileProblem::CannotCreate, EEXIST);
    FileOutcome written = WriteAll(fd, bytes, nullptr);
    if (::close(fd) != 0 && written) written = Failed(FileProblem::CannotWrite, errno);
    if (written && ::rename(temporary.c_str(), file.c_str()) != 0)
        written = Failed(FileProblem::CannotWrite, errno);
    if (!written) ::unlink(temporary.c_str());
    return written;
}

bool IsSameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    struct stat x {};
    struct stat y {};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}

OutputFile::OutputFile(OutputFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

OutputFile::~OutputFile() {
    Close();
}

bool OutputFile::IsOpen() const {
    return fd_ >= 0;
}

void OutputFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

FileOutcome OutputFile::Open(const std::filesystem::path& file, OutputMode mode,
                             unsigned permissions) {
    Close();
    // Appending reads too: the run log looks at its last byte through the same descriptor.
    const int flags = O_CREAT | O_NOFOLLOW | kOpenFlags |
                      (mode == OutputMode::Append ? O_RDWR | O_APPEND : O_WRONLY);
    Descriptor fd(::open(file.c_str(), flags, static_cast<mode_t>(permissions)));
    // A link at the last name gives ELOOP; a FIFO without a reader or a device without its
    // hardware ENXIO.
    if (fd.get() < 0 && errno == ENXIO) return Failed(FileProblem::NotRegular);
    if (fd.get() < 0) return Failed(FileProblem::CannotOpen, errno);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return Failed(FileProblem::CannotOpen, errno);
    if (!S_ISREG(status.st_mode)) return Failed(FileProblem::NotRegular);
    if (status.st_nlink > 1) return Failed(FileProblem::SecondName);
    if (mode == OutputMode::Truncate && ::ftruncate(fd.get(), 0) != 0)
        return Failed(FileProblem::CannotWrite, errno);
    fd_ = fd.release();
    return {};
}

FileOutcome OutputFile::Write(std::span<const std::uint8_t> bytes) {
    return WriteAll(fd_, bytes, nullptr);
}

FileOutcome OutputFile::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    return WriteAll(fd_, bytes, &offset);
}

FileOutcome OutputFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) {
    const ssize_t n = ::pread(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0) return Failed(FileProblem::CannotRead, errno);
    if (static_cast<std::size_t>(n) != bytes.size()) return Failed(FileProblem::CannotRead);
    return {};
}

FileOutcome OutputFile::Truncate(std::uint64_t length) {
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0)
        return Failed(FileProblem::CannotWrite, errno);
    return {};
}

FileOutcome OutputFile::Sync() {
    if (::fsync(fd_) != 0) return Failed(FileProblem::CannotWrite, errno);
    return {};
}

FileOutcome OutputFile::Lock() {
    int locked = -1;
    do {
        locked = ::flock(fd_, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) return Failed(FileProblem::CannotWrite, errno);
    return {};
}

std::uint64_t OutputFile::Size() const {
    struct stat status {};
    if (::fstat(fd_, &status) != 0) return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

#endif

}  // namespace qdm
