#include "update/fetch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

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
constexpr auto kCancelPoll = std::chrono::milliseconds(20);

// The part file an object is written to; remembers why a write failed.
class OutputFile {
public:
    explicit OutputFile(const fs::path& path) : fd_(createFresh(path)), error_(fd_ ? 0 : errno) {}
    bool ok() const { return static_cast<bool>(fd_); }
    int error() const { return error_; }
    bool write(const std::uint8_t* data, std::size_t length) {
        if (writeAll(fd_.get(), data, length)) return true;
        error_ = errno;
        return false;
    }
    bool close() {
        if (fd_.close()) return true;
        error_ = errno;
        return false;
    }

private:
    UniqueFd fd_;
    int error_;
};

// The sentence for an object that could not be written to file: a full disk and a folder the
// launcher may not write to are always told; otherwise the caller's own words, if it has them.
std::string writeFailure(const fs::path& file, int error, const std::string& writeError) {
    if (writeError.empty() || isDiskFull(error) || isNotAllowed(error))
        return cannotWrite(file.parent_path(), error);
    return writeError;
}

enum class Attempt { Done, Retry, Stop };

// One attempt: GET, inflate, hash and write as the bytes arrive.
Attempt fetchOnce(const std::string& url, const Entry& entry, const fs::path& part, int attempt,
                  const ProgressFn& progress, const std::atomic<bool>* cancel,
                  const std::string& writeError, std::string& error) {
    const char* hash = entry.hash.c_str();
    OutputFile out(part);
    const auto stop = [&] {
        error = writeFailure(part, out.error(), writeError);
        return Attempt::Stop;
    };
    if (!out.ok()) return stop();
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
    const bool got = httpGetStream(url, limit, sink, progress, cancel, error);
    if (!got && !damaged) {
        if (inflater.outputFailed()) return stop();
        if (cancel != nullptr && cancel->load()) return Attempt::Stop;
        logWarn("launcher: object %s, attempt %d: %s", hash, attempt, error.c_str());
        return Attempt::Retry;
    }
    if (damaged || !inflater.finish()) {
        if (inflater.outputFailed()) return stop();
        error = "a download arrived damaged";
        logWarn("launcher: object %s did not decompress (attempt %d)", hash, attempt);
        return Attempt::Retry;
    }
    if (!out.close()) return stop();
    if (hasher.finish() != entry.hash) {
        error = "a download did not match the release";
        logWarn("launcher: object %s hash mismatch (attempt %d)", hash, attempt);
        return Attempt::Retry;
    }
    return Attempt::Done;
}

}  // namespace

bool isStaged(const fs::path& object, const Entry& entry) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(object, ec);
    return !ec && size == entry.size && hashFile(object.string()) == entry.hash;
}

bool fetchObjectFile(const std::string& serverUrl, const Entry& entry, const fs::path& file,
                     const std::function<void(std::uint64_t)>& progress,
                     const std::atomic<bool>* cancel, std::string& error,
                     const std::string& writeError) {
    const std::string url = joinUrl(serverUrl, "objects/" + entry.hash);
    const fs::path part = file.string() + ".part";
    const ProgressFn onBytes = [&progress](std::uint64_t received, std::uint64_t) {
        if (progress) progress(received);
    };
    std::error_code ec;
    for (int attempt = 1; attempt <= kObjectAttempts; ++attempt) {
        const Attempt result =
            fetchOnce(url, entry, part, attempt, onBytes, cancel, writeError, error);
        if (result == Attempt::Done) {
            if (::rename(part.c_str(), file.c_str()) == 0) return true;
            error = writeFailure(file, errno, writeError);
            break;
        }
        if (result == Attempt::Stop) break;
    }
    fs::remove(part, ec);
    return false;
}

std::uint64_t packedBytesToFetch(const std::vector<const Entry*>& entries,
                                 const fs::path& staging) {
    std::set<std::string_view> seen;
    std::uint64_t bytes = 0;
    for (const Entry* entry : entries)
        if (seen.insert(entry->hash).second && !isStaged(staging / entry->hash, *entry))
            bytes = addSaturating(bytes, entry->packedSize);
    return bytes;
}

bool fetchObjects(const FetchPlan& plan, std::string& error) {
    // What to fetch: each content once, and none that staging already holds.
    std::vector<std::size_t> todo;
    std::uint64_t base = 0;  // packed bytes that need no fetch
    {
        std::set<std::string_view> seen;
        for (std::size_t i = 0; i < plan.entries.size(); ++i) {
            const Entry& entry = *plan.entries[i];
            if (!seen.insert(entry.hash).second || isStaged(plan.staging / entry.hash, entry))
                base = addSaturating(base, entry.packedSize);
            else
                todo.push_back(i);
        }
    }
    if (todo.empty()) return true;

    std::mutex mutex;
    std::condition_variable finished;
    std::size_t next = 0, running = 0, completed = 0;
    std::uint64_t done = base;
    std::vector<std::uint64_t> inFlight;  // per worker: bytes of its object so far
    double shown = 0.0;
    std::string firstError;
    std::atomic<bool> halt{false};  // a failure or the caller's cancel: every fetch stops

    auto share = [&]() {  // under mutex
        if (plan.total == 0) return -1.0;
        std::uint64_t sum = done;
        for (std::uint64_t bytes : inFlight) sum = addSaturating(sum, bytes);
        shown = std::max(shown, std::min(1.0, double(sum) / double(plan.total)));
        return shown;
    };
    auto worker = [&](std::size_t slot) {
        for (;;) {
            std::size_t index = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (plan.cancel != nullptr && plan.cancel->load() && !halt.exchange(true))
                    firstError = "cancelled";
                if (halt || next == todo.size()) break;
                index = todo[next++];
                inFlight[slot] = 0;
                if (plan.starting) plan.starting(index, share());
            }
            const Entry& entry = *plan.entries[index];
            const auto onBytes = [&, slot, packed = entry.packedSize](std::uint64_t received) {
                std::lock_guard<std::mutex> lock(mutex);
                inFlight[slot] = std::min(received, packed);
                const double value = share();
                if (plan.progress && value >= 0) plan.progress(value);
            };
            std::string why;
            const bool ok = fetchObjectFile(plan.serverUrl, entry, plan.staging / entry.hash,
                                            onBytes, &halt, why);
            std::lock_guard<std::mutex> lock(mutex);
            inFlight[slot] = 0;
            if (ok) {
                done = addSaturating(done, entry.packedSize);
                ++completed;
                continue;
            }
            // Fetches stopped by another's failure say nothing of their own.
            if (!halt.exchange(true)) firstError = why;
            break;
        }
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        finished.notify_all();
    };

    const std::size_t count =
        std::min<std::size_t>(todo.size(), std::size_t(std::max(1, plan.connections)));
    inFlight.assign(count, 0);
    std::vector<std::thread> workers;
    running = count;
    for (std::size_t slot = 1; slot < count; ++slot) {
        try {
            workers.emplace_back(worker, slot);
        } catch (const std::system_error&) {
            // Fewer threads still fetch everything.
            std::lock_guard<std::mutex> lock(mutex);
            running -= count - slot;
            break;
        }
    }
    // The job's own thread fetches too, and passes a cancel on between its objects; while it
    // waits on a transfer, a watcher does.
    std::thread watcher;
    std::atomic<bool> jobDone{false};
    try {
        watcher = std::thread([&] {
            while (!jobDone.load()) {
                if (plan.cancel != nullptr && plan.cancel->load()) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!halt.exchange(true)) firstError = "cancelled";
                    return;
                }
                std::this_thread::sleep_for(kCancelPoll);
            }
        });
    } catch (const std::system_error&) {
    }
    worker(0);
    {
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [&] { return running == 0; });
    }
    jobDone = true;
    if (watcher.joinable()) watcher.join();
    for (std::thread& t : workers) t.join();
    // A cancel that came after the last object changes nothing.
    if (completed == todo.size()) return true;
    error = firstError;
    return false;
}

}  // namespace kd::launcher
