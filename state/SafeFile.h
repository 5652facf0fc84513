#pragma once
// Files at paths that someone else may have prepared: only regular files are read, and only up to
// a size the caller names; nothing is written through a link, into a FIFO or a device, or into a
// file that has a second name; a file meant to appear whole never appears half-written. Every
// open is non-blocking, so a FIFO or a device where a file was expected is refused at once
// instead of holding the program up.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace qdm {

enum class FileProblem : std::uint8_t {
    None,
    CannotOpen,  // missing, no access, a link where none may be, ...
    NotRegular,  // a folder, FIFO, device or socket
    TooLarge,    // more bytes than the caller takes
    SecondName,  // a hard link: writing would change the file under its other name too
    CannotRead,
    CannotCreate,
    CannotWrite,  // also a full disk
};

// How a file operation went: the problem and the system's error number behind it, if any.
struct FileOutcome {
    FileProblem problem = FileProblem::None;
    int error = 0;            // errno, or the Windows error code
    std::uint64_t size = 0;   // of a TooLarge file
    std::uint64_t limit = 0;  // the bound it broke
    explicit operator bool() const { return problem == FileProblem::None; }
    // A short lower-case phrase for a message: "not a regular file", "cannot open it: No such
    // file or directory (ENOENT)", "larger than 1024 bytes".
    [[nodiscard]] std::string Reason() const;
};

// Reads a regular file of at most `maxBytes` whole into `bytes`, with room for `spare` more bytes
// behind it so a caller can pad them without another copy. Links are followed: it only reads.
FileOutcome ReadRegularFile(const std::filesystem::path& file, std::uint64_t maxBytes,
                            std::vector<std::uint8_t>& bytes, std::size_t spare = 0);

// The size of a regular file, without reading it.
FileOutcome RegularFileSize(const std::filesystem::path& file, std::uint64_t& size);

// Writes `bytes` into a new file of a unique name in the folder of `file`, made exclusively (never
// through a link), then renames it over `file`: readers see the old file or the new one, never a
// part, and a link at `file` is replaced, not followed. A folder, FIFO or device at `file` is
// refused.
FileOutcome ReplaceWithNewFile(const std::filesystem::path& file,
                               std::span<const std::uint8_t> bytes);

// Whether both paths name one existing file, after following links (device and inode; volume and
// file index on Windows). False when either does not exist.
bool IsSameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// The files this process writes while it runs (its trace, its run log, its dumps), for inputs
// chosen later, as in the window's file dialog: a ROM file that is one of them would be read
// while it is written, and written over once read.
void ClaimOutputs(std::vector<std::filesystem::path> files);
bool IsClaimedOutput(const std::filesystem::path& file);

enum class OutputMode : std::uint8_t {
    Truncate,   // emptied when opened
    Append,     // every write goes to the end; ReadAt reads what is there
    Overwrite,  // written from the start over what is there; the caller cuts it to length
};

// A regular file opened for writing, created when missing. Refused when the path's last name is a
// link, when it is no regular file, or when the file has a second name. Move-only; closing it
// releases its lock.
class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    ~OutputFile();

    // `permissions` apply to a file it creates (POSIX; the umask takes its part).
    FileOutcome Open(const std::filesystem::path& file, OutputMode mode,
                     unsigned permissions = 0666);
    [[nodiscard]] bool IsOpen() const;
    void Close();

    // Writes every byte, or fails with the outcome of the write that broke off.
    FileOutcome Write(std::span<const std::uint8_t> bytes);
    FileOutcome WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    FileOutcome ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes);
    FileOutcome Truncate(std::uint64_t length);
    FileOutcome Sync();
    // Waits for the exclusive lock every writer of the file takes.
    FileOutcome Lock();
    // The file's size now; 0 when it cannot be told.
    [[nodiscard]] std::uint64_t Size() const;

  private:
#if defined(_WIN32)
    void* handle_ = nullptr;
    bool append_ = false;
#else
    int fd_ = -1;
#endif
};

}  // namespace qdm
