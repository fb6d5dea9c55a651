#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "base/base.h"

namespace kd {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadPieceBytes = 65536;
constexpr std::size_t kMaxWriteCallBytes = std::size_t(1) << 30;
constexpr int kLockRetryMs = 100;

}  // namespace

std::string ownExecutablePath() {
    std::error_code ec;
    const fs::path target = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : target.string();
}

bool throughLink(const fs::path& root, const fs::path& target) {
    fs::path folder = root;
    for (const fs::path& part : target.parent_path().lexically_relative(root)) {
        if (part == ".") continue;
        folder /= part;
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(folder, ec))) return true;
    }
    return false;
}

bool regularFileOfSize(const fs::path& root, const fs::path& path, std::uint64_t size) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           std::uint64_t(info.st_size) == size && !throughLink(root, path);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool UniqueFd::close() {
    if (fd_ < 0) return true;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return closed;
}

long readSome(int fd, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0 || errno != EINTR) return got;
    }
}

bool writeAll(int fd, const void* bytes, std::size_t length) {
    const auto* at = static_cast<const std::uint8_t*>(bytes);
    while (length > 0) {
        const ssize_t written = ::write(fd, at, std::min(length, kMaxWriteCallBytes));
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        at += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

FileError readWholeFile(const fs::path& path, std::string& out, std::uint64_t maxBytes) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file) return errno;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return EINVAL;
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes) return EFBIG;

    std::string text;
    text.reserve(static_cast<std::size_t>(info.st_size));
    char piece[kReadPieceBytes];
    for (;;) {
        const long got = readSome(file.get(), piece, sizeof piece);
        if (got < 0) return errno;
        if (got == 0) break;
        // The file may have grown since it was measured.
        if (text.size() + static_cast<std::size_t>(got) > maxBytes) return EFBIG;
        text.append(piece, static_cast<std::size_t>(got));
    }
    out = std::move(text);
    return 0;
}

UniqueFd createFresh(const fs::path& path, int mode, bool alsoRead) {
    const int flags = (alsoRead ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::open(path.c_str(), flags, mode));
    if (!fd && errno == EEXIST) {
        // Removing the name removes a link itself, never what it points at.
        std::error_code ec;
        fs::remove(path, ec);
        fd = UniqueFd(::open(path.c_str(), flags, mode));
    }
    return fd;
}

FileError flushToDisk(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return errno;
    if (::fsync(fd.get()) != 0) return errno;
    return 0;
}

FileError writeFileAtomic(const fs::path& path, std::string_view bytes, Durability durability,
                          int mode) {
    fs::path part = path;
    part += ".part";
    std::error_code ec;
    UniqueFd fd = createFresh(part, mode);
    if (!fd) return errno;
    FileError error = 0;
    const bool flush = durability == Durability::Flushed;
    if (!writeAll(fd.get(), bytes.data(), bytes.size()) || (flush && ::fsync(fd.get()) != 0))
        error = errno;
    // close can report a write that failed late: a file cut short must not be renamed into place.
    if (!fd.close() && error == 0) error = errno;
    if (error == 0 && ::rename(part.c_str(), path.c_str()) != 0) {
        error = errno;
        // An empty folder in the way is taken over; a folder with something in it stays.
        if ((error == EISDIR || error == ENOTEMPTY || error == EEXIST) && fs::remove(path, ec) &&
            ::rename(part.c_str(), path.c_str()) == 0)
            error = 0;
    }
    if (error != 0) {
        ::unlink(part.c_str());
        return error;
    }
    // The rename itself must reach the disk too. A folder that cannot be flushed (some file
    // systems refuse) leaves the new file in place all the same, so it does not undo the write.
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    if (flush) (void)flushToDisk(folder);
    return 0;
}

void makeExecutable(const fs::path& path) { (void)::chmod(path.c_str(), 0755); }

std::string errorText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

bool isDiskFull(FileError error) { return error == ENOSPC || error == EDQUOT; }

bool isNotAllowed(FileError error) { return error == EACCES || error == EPERM || error == EROFS; }

FileLock::Result FileLock::lock(const fs::path& path, int waitMs) {
    fd_.close();
    std::error_code ec;
    const bool folder = fs::is_directory(fs::symlink_status(path, ec));
    UniqueFd fd(folder ? ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                       : ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) return Result::Failed;
    if (waitMs < 0) {
        while (::flock(fd.get(), LOCK_EX) != 0)
            if (errno != EINTR) return Result::Failed;
        fd_ = std::move(fd);
        return Result::Locked;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return Result::Failed;
        if (std::chrono::steady_clock::now() >= deadline) return Result::Busy;
        std::this_thread::sleep_for(std::chrono::milliseconds(kLockRetryMs));
    }
    fd_ = std::move(fd);
    return Result::Locked;
}

}  // namespace kd
