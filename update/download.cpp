#include "update/download.h"

#include <fcntl.h>
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

enum class Attempt { Done, Retry, Stop };

// One attempt: GET, inflate, hash and write as the bytes arrive.
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
    bool damaged = false;
    const BodySink sink = [&](const std::uint8_t* data, std::size_t length, std::string& why) {
        if (inflater.push(data, length)) return true;
        damaged = !inflater.outputFailed();
        why = "stopped";
        return false;
    };
    const std::uint64_t limit = addSaturating(entry.packedSize, kObjectSlackBytes);
    int status = 0;
    const bool got = httpGetStream(url, limit, sink, progress, cancel, error, {}, &status);
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
