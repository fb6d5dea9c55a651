// The bottom layer: files and the few small helpers every other module needs. Whatever reads or
// writes a whole file, holds a descriptor or a lock goes through here, so the rules that keep the
// launcher's own state trustworthy (bounded reads, no writes through links, flushed renames) are
// kept in one place. Nothing here logs or shows anything: callers turn the error numbers into
// their own sentences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kd {

// Value of one hex digit of either case, or -1.
constexpr int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Sizes from a server or a manifest may be anything: sums stop at the top instead of wrapping.
constexpr std::uint64_t addSaturating(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// The running program's own file (target of /proc/self/exe); empty when the link cannot be read.
std::string ownExecutablePath();

// Whether any folder between root and target is a symbolic link: then target is not root's to
// touch, whatever the link points at.
bool throughLink(const std::filesystem::path& root, const std::filesystem::path& target);

// Whether path, inside root, is a regular file (never a link to one) of exactly size bytes,
// reached through real folders only: the one shape a file of a release may be taken as.
bool regularFileOfSize(const std::filesystem::path& root, const std::filesystem::path& path,
                       std::uint64_t size);

// A POSIX descriptor closed on every path, at most once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { close(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    // False when close reported an error (a write that failed late, on some file systems).
    bool close();

private:
    int fd_ = -1;
};

// read(2) and write(2) that go on after a signal: bytes read (0 at the end) or -1; writeAll is true
// when every byte was written, with errno set otherwise.
long readSome(int fd, void* buffer, std::size_t size);
bool writeAll(int fd, const void* bytes, std::size_t length);

// Creates path afresh for writing. Whatever already stands there (a leftover, a planted link) is
// removed first, never written through or truncated in place; an empty descriptor with errno set
// when that cannot be done.
// alsoRead opens it for reading back too.
UniqueFd createFresh(const std::filesystem::path& path, int mode = 0644, bool alsoRead = false);

// Outcomes of the whole-file calls: 0, or the error number. readWholeFile adds two of its own:
// EFBIG for a file larger than maxBytes and EINVAL for something that is not a regular file.
using FileError = int;

// The whole regular file. Opened without blocking, so a FIFO planted under the name cannot stall
// the caller. out is changed only on success.
FileError readWholeFile(const std::filesystem::path& path, std::string& out,
                        std::uint64_t maxBytes);

// Whether a write must survive a power cut. A cache that is checked whenever it is read (a signed
// text, a hashed object) can do without the flushes, which may take seconds on a busy disk.
enum class Durability { Flushed, Cached };

// Writes the bytes to path + ".part" and renames that onto path; Flushed: after flushing the file,
// and then flushes the folder, so that after a power cut path holds either the old or the new
// bytes. The
// part name is created exclusively: whatever already stands there (a leftover, a planted link) is
// removed first, never written through. A name held by an empty folder is taken over, one held by
// a folder with something in it is not. On failure nothing new is left under either name.
FileError writeFileAtomic(const std::filesystem::path& path, std::string_view bytes,
                          Durability durability = Durability::Flushed, int mode = 0644);

// Mode 0755; failures are ignored (the program then fails to start, which says more).
void makeExecutable(const std::filesystem::path& path);

// fsync of a file or a folder by name.
FileError flushToDisk(const std::filesystem::path& path);

// The system's text for an error number, for the log.
std::string errorText(int error);

// A write failed for want of room (ENOSPC, EDQUOT), or was not allowed (EACCES, EPERM, EROFS).
bool isDiskFull(FileError error);
bool isNotAllowed(FileError error);

// An advisory lock (flock) held for the object's life, on a folder itself (no file name is taken
// from anyone) or on a lock file created for it. Close-on-exec: a started program never inherits
// it.
class FileLock {
public:
    enum class Result { Locked, Busy, Failed };

    // waitMs 0: try once; negative: wait until it is free; otherwise retry until then.
    Result lock(const std::filesystem::path& path, int waitMs);
    bool held() const { return static_cast<bool>(fd_); }
    void unlock() { fd_.close(); }

private:
    UniqueFd fd_;
};

}  // namespace kd
