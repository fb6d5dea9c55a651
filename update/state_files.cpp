#include "update/state_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadPieceBytes = 65536;
constexpr std::size_t kMaxWriteCallBytes = std::size_t(1) << 30;
constexpr mode_t kFileMode = 0644;
constexpr mode_t kExecutableMode = 0755;

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, bytes, std::min(length, kMaxWriteCallBytes));
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool readFile(const fs::path& path, std::string& out, std::uint64_t maxBytes) {
    // Non-blocking, so that a FIFO under a state file's name cannot stall the job; only regular
    // files are read.
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) return false;
    struct stat info {};
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) > maxBytes)
        return false;

    std::string text;
    text.reserve(static_cast<std::size_t>(info.st_size));
    char piece[kReadPieceBytes];
    for (;;) {
        const ssize_t got = ::read(file.fd, piece, sizeof piece);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;
        // The file may have grown since it was measured.
        if (text.size() + static_cast<std::size_t>(got) > maxBytes) return false;
        text.append(piece, static_cast<std::size_t>(got));
    }
    out = std::move(text);
    return true;
}

bool writeFileAtomic(const fs::path& path, const void* bytes, std::size_t length) {
    fs::path part = path;
    part += ".part";
    std::error_code ec;
    int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        // A leftover part file that cannot be reopened (read-only, say) is only in the way.
        fs::remove(part, ec);
        fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode);
        if (fd < 0) return false;
    }
    const bool written = writeAll(fd, static_cast<const std::uint8_t*>(bytes), length);
    // close can report a write that failed late (a full disk on some file systems); a file cut
    // short must not be renamed into place as if it were whole. No flush to the device: every
    // reader checks size and hash or signature, so a file lost in a power cut is fetched again.
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        // A partial file would only hold on to the space the next attempt needs.
        ::unlink(part.c_str());
        return false;
    }
    fs::rename(part, path, ec);
    if (ec) {
        // Something that rename cannot replace (an empty folder) is removed; a folder with
        // something in it stays and the write fails.
        fs::remove(path, ec);
        fs::rename(part, path, ec);
        if (ec) {
            ::unlink(part.c_str());
            return false;
        }
    }
    return true;
}

void makeExecutable(const fs::path& path) { (void)::chmod(path.c_str(), kExecutableMode); }

}  // namespace kd::launcher
