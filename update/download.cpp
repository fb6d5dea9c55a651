#include "update/download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "base/base.h"
#include "log/log.h"
#include "net/http.h"
#include "release/crypto.h"
#include "release/inflate.h"
#include "update/job.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kObjectSlackBytes = 1024;  // above packedSize, before a reply is refused
constexpr int kObjectAttempts = 3;

// A part file, made afresh for every attempt.
class PartFileSink final : public ObjectSink {
public:
    explicit PartFileSink(fs::path part) : part_(std::move(part)) {}
    bool begin() override {
        fd_ = createFresh(part_);
        return fd_ ? true : fail();
    }
    bool write(const std::uint8_t* data, std::size_t length) override {
        return writeAll(fd_.get(), data, length) || fail();
    }
    bool end() override { return fd_.close() || fail(); }
    int error() const override { return error_; }

private:
    bool fail() {
        error_ = errno;
        return false;
    }
    fs::path part_;
    UniqueFd fd_;
    int error_ = 0;
};

// The packed bytes of an object as they arrived, in a file of their own. What it holds is taken as
// the start of the object and checked with the rest, by inflate and the hash; a copy found wrong is
// dropped. Keeping it is a saving, never a condition: a copy that cannot be written stops being
// kept, and the download goes on.
class PackedCopy {
public:
    explicit PackedCopy(fs::path file) : file_(std::move(file)) {}
    ~PackedCopy() {
        if (done_) drop();
    }

    // Feeds the bytes kept by an earlier attempt or run to push, and keeps what follows. most: the
    // object's packed size; a longer copy is dropped. False when push refused them.
    bool resume(std::uint64_t most,
                const std::function<bool(const std::uint8_t*, std::size_t)>& push,
                std::uint64_t& held) {
        held = 0;
        if (file_.empty()) return true;
        fd_ = UniqueFd(::open(file_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
        struct stat st {};
        if (fd_ && (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
                    std::uint64_t(st.st_size) > most))
            fd_.close();
        if (!fd_) {
            fd_ = createFresh(file_);
            return true;
        }
        std::vector<std::uint8_t> piece(std::size_t(64) << 10);
        for (long got; (got = readSome(fd_.get(), piece.data(), piece.size())) != 0;) {
            if (got < 0 || !push(piece.data(), std::size_t(got))) {
                drop();
                return false;
            }
            held += std::uint64_t(got);
        }
        return true;
    }
    void add(const std::uint8_t* data, std::size_t length) {
        if (fd_ && !writeAll(fd_.get(), data, length)) drop();
    }
    // The object is whole, or went wrong: either way the copy has served.
    void finish() { done_ = true; }
    void drop() {
        if (!fd_) return;
        fd_.close();
        ::unlink(file_.c_str());
    }

private:
    fs::path file_;
    UniqueFd fd_;
    bool done_ = false;
};

enum class Attempt { Done, Retry, Stop };

// One attempt: GET, inflate, hash and write as the bytes arrive; with a packed copy, from where
// the copy ends.
Attempt fetchOnce(Servers& servers, std::size_t server, const Entry& entry, ObjectSink& out,
                  int attempt, const ProgressFn& progress, const std::atomic<bool>* cancel,
                  const std::function<std::string(int)>& writeFailure, std::string& error) {
    const std::string url = joinUrl(servers.url(server), "objects/" + entry.hash);
    const char* hash = entry.hash.c_str();
    const auto stop = [&] {
        error = writeFailure(out.error());
        return Attempt::Stop;
    };
    if (!out.begin()) return stop();
    FileHasher hasher;
    Inflater inflater(entry.size, [&out, &hasher](const std::uint8_t* data, std::size_t length) {
        hasher.add(data, length);
        return out.write(data, length);
    });
    PackedCopy copy(out.packedCopy());
    std::uint64_t from = 0;
    if (!copy.resume(
            entry.packedSize,
            [&inflater](const std::uint8_t* data, std::size_t length) {
                return inflater.push(data, length);
            },
            from)) {
        if (inflater.outputFailed()) return stop();
        launcherLog.warn("object %s: the bytes kept of it were damaged", hash);
        return fetchOnce(servers, server, entry, out, attempt, progress, cancel, writeFailure,
                         error);
    }
    bool damaged = false;
    const BodySink sink = [&](const std::uint8_t* data, std::size_t length, std::string& why) {
        copy.add(data, length);
        if (inflater.push(data, length)) return true;
        damaged = !inflater.outputFailed();
        why = "stopped";
        return false;
    };
    const std::uint64_t limit = addSaturating(entry.packedSize, kObjectSlackBytes);
    int status = 0;
    // A copy of the whole object (the run was stopped before its last bytes were inflated) needs
    // no server.
    const bool got = (from > 0 && from == entry.packedSize) ||
                     httpGetStreamFrom(url, from, limit, sink, progress, cancel, error, &status);
    // Only a transfer cut off leaves a copy worth taking up again.
    if (got || damaged || !transferCutOff(status)) copy.finish();
    if (!got && !damaged) {
        if (inflater.outputFailed()) return stop();
        if (cancel != nullptr && cancel->load()) return Attempt::Stop;
        if (servers.count() > 1) {
            launcherLog.warn("object %s, attempt %d, from %s: %s", hash, attempt,
                             servers.url(server).c_str(), error.c_str());
            if (serverDidNotAnswer(status)) servers.failed(server);
        } else {
            launcherLog.warn("object %s, attempt %d: %s", hash, attempt, error.c_str());
        }
        return Attempt::Retry;
    }
    if (damaged || !inflater.finish()) {
        if (inflater.outputFailed()) return stop();
        error = "a download arrived damaged";
        launcherLog.warn("object %s did not decompress (attempt %d)", hash, attempt);
        return Attempt::Retry;
    }
    if (!out.end()) return stop();
    if (hasher.finish() != entry.hash) {
        error = "a download did not match the release";
        launcherLog.warn("object %s hash mismatch (attempt %d)", hash, attempt);
        return Attempt::Retry;
    }
    return Attempt::Done;
}

}  // namespace

bool fetchObject(Servers& servers, const Entry& entry, ObjectSink& sink,
                 const std::function<void(std::uint64_t)>& progress,
                 const std::atomic<bool>* cancel,
                 const std::function<std::string(int)>& writeFailure, std::string& error) {
    const ProgressFn onBytes = [&progress](std::uint64_t received, std::uint64_t) {
        if (progress) progress(received);
    };
    // The three attempts span the servers: a mirror may have what another lost or spoilt.
    const std::size_t start = servers.first();
    for (int attempt = 1; attempt <= kObjectAttempts; ++attempt) {
        const std::size_t server = start + std::size_t(attempt - 1);
        const Attempt result =
            fetchOnce(servers, server, entry, sink, attempt, onBytes, cancel, writeFailure, error);
        if (result == Attempt::Done) {
            if (attempt > 1 && servers.count() > 1)
                launcherLog.info("object %s came from %s", entry.hash.c_str(),
                                 servers.url(server).c_str());
            return true;
        }
        if (result == Attempt::Stop) return false;
    }
    return false;
}

bool isStaged(const fs::path& object, const Entry& entry) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(object, ec);
    return !ec && size == entry.size && hashFile(object.string()) == entry.hash;
}

bool fetchObjectFile(Servers& servers, const Entry& entry, const fs::path& file,
                     const std::function<void(std::uint64_t)>& progress,
                     const std::atomic<bool>* cancel, std::string& error,
                     const std::string& writeError) {
    // A full disk and a folder the launcher may not write to are always told; otherwise the
    // caller's own words, if it has them.
    const auto writeFailure = [&](int failed) {
        if (writeError.empty() || isDiskFull(failed) || isNotAllowed(failed))
            return cannotWrite(file.parent_path(), failed);
        return writeError;
    };
    const fs::path part = file.string() + ".part";
    PartFileSink sink(part);
    bool ok = fetchObject(servers, entry, sink, progress, cancel, writeFailure, error);
    if (ok && ::rename(part.c_str(), file.c_str()) != 0) {
        error = writeFailure(errno);
        ok = false;
    }
    if (!ok) ::unlink(part.c_str());
    return ok;
}

}  // namespace kd::launcher
