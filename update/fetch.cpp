#include "update/fetch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "base/base.h"
#include "update/download.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr auto kCancelPoll = std::chrono::milliseconds(20);
constexpr std::size_t kWhole = SIZE_MAX;  // a task for a download itself, not one of its chunks

enum class ChunkState { Waiting, Running, Done, Failed };

// The workers of one fetchObjects call. Each takes the next task: a whole object, a big file (whose
// worker queues the file's missing chunks for everyone, then builds the file, downloading itself
// any chunk it reaches before another worker did), or one chunk.
class Pool {
public:
    explicit Pool(const FetchPlan& plan)
        : plan_(plan), unfinished_(plan.downloads.downloads.size()) {
        const auto& downloads = plan.downloads.downloads;
        builders_.resize(downloads.size());
        chunks_.resize(downloads.size());
        for (std::size_t d = 0; d < downloads.size(); ++d) {
            queue_.push_back({d, kWhole});
            if (const ChunkedFile* file = downloads[d].chunked.get()) {
                builders_[d] = std::make_unique<ChunkBuilder>(plan.place, *file);
                chunks_[d].assign(file->chunks.size(), ChunkState::Waiting);
            }
        }
    }

    std::size_t tasks() const {
        std::size_t count = 0;
        for (const Download& d : plan_.downloads.downloads)
            if (d.chunked)
                for (std::size_t c = 0; c < d.chunked->chunks.size(); ++c)
                    count += !d.chunked->present[c];
        return count + plan_.downloads.downloads.size();
    }

    void setSlots(std::size_t count) { inFlight_.assign(count, 0); }

    void worker(std::size_t slot) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return halt_ || !queue_.empty() || unfinished_ == 0; });
            if (halt_ || queue_.empty()) break;
            const auto [d, chunk] = queue_.front();
            queue_.pop_front();
            if (chunk != kWhole) {
                if (chunks_[d][chunk] == ChunkState::Waiting) runChunk(lock, d, chunk, slot);
                continue;
            }
            const Download& download = plan_.downloads.downloads[d];
            inFlight_[slot] = 0;
            if (plan_.starting) plan_.starting(download.index, share());
            lock.unlock();
            std::string why;
            const bool ok =
                download.chunked ? buildChunked(d, slot, why) : fetchWhole(d, slot, why);
            lock.lock();
            inFlight_[slot] = 0;
            if (!ok) {
                stop(why);
                break;
            }
            if (!download.chunked) done_ = addSaturating(done_, download.packedBytes);
            --unfinished_;
            changed_.notify_all();
        }
        changed_.notify_all();
    }

    // The caller's cancel, passed on while every worker may be waiting on a transfer.
    void cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        stop("cancelled");
    }
    const std::atomic<bool>& halted() const { return halt_; }

    // A cancel that came after the last download changes nothing.
    bool finished(std::string& error) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unfinished_ == 0) return true;
        error = firstError_;
        return false;
    }

private:
    // Under the lock: the share of the plan's bytes fetched so far; it only rises.
    double share() {
        const std::uint64_t total = plan_.downloads.packedBytes;
        if (total == 0) return -1.0;
        std::uint64_t sum = done_;
        for (std::uint64_t bytes : inFlight_) sum = addSaturating(sum, bytes);
        shown_ = std::max(shown_, std::min(1.0, double(sum) / double(total)));
        return shown_;
    }
    // Under the lock. Downloads stopped by another's failure say nothing of their own.
    void stop(const std::string& why) {
        if (!halt_.exchange(true)) firstError_ = why;
        changed_.notify_all();
    }
    std::function<void(std::uint64_t)> progressOf(std::size_t slot, std::uint64_t packed) {
        return [this, slot, packed](std::uint64_t received) {
            std::lock_guard<std::mutex> lock(mutex_);
            inFlight_[slot] = std::min(received, packed);
            const double value = share();
            if (plan_.progress && value >= 0) plan_.progress(value);
        };
    }

    bool fetchWhole(std::size_t d, std::size_t slot, std::string& why) {
        const Entry& entry = *plan_.downloads.downloads[d].entry;
        return fetchObjectFile(*plan_.place.servers, entry, plan_.place.staging() / entry.hash,
                               progressOf(slot, entry.packedSize), &halt_, why);
    }

    // Called with the lock held, returns with it held; the chunk is Waiting.
    bool runChunk(std::unique_lock<std::mutex>& lock, std::size_t d, std::size_t chunk,
                  std::size_t slot) {
        chunks_[d][chunk] = ChunkState::Running;
        inFlight_[slot] = 0;
        const ChunkedFile& file = *plan_.downloads.downloads[d].chunked;
        const std::uint64_t packed = file.chunks[chunk].packedSize - file.packedHeld[chunk];
        lock.unlock();
        std::string why;
        const bool copied = builders_[d]->copyHeld(chunk);
        const bool ok =
            copied || builders_[d]->download(chunk, progressOf(slot, packed), &halt_, why);
        lock.lock();
        inFlight_[slot] = 0;
        chunks_[d][chunk] = ok ? ChunkState::Done : ChunkState::Failed;
        if (!ok)
            stop(why);
        else if (!copied)
            done_ = addSaturating(done_, packed);
        changed_.notify_all();
        return ok;
    }

    bool buildChunked(std::size_t d, std::size_t slot, std::string& why) {
        ChunkBuilder& builder = *builders_[d];
        if (!builder.open(why)) return false;
        {
            // Its missing chunks go first, so that every free worker fetches or copies for this
            // file, in the order its hash is read.
            std::lock_guard<std::mutex> lock(mutex_);
            const ChunkedFile& file = *plan_.downloads.downloads[d].chunked;
            for (std::size_t c = file.chunks.size(); c-- > 0;)
                if (!file.present[c]) queue_.push_front({d, c});
            changed_.notify_all();
        }
        const auto ensure = [&](std::size_t chunk, std::string& failed) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (chunks_[d][chunk] == ChunkState::Waiting) runChunk(lock, d, chunk, slot);
            changed_.wait(lock, [&] {
                return halt_ || chunks_[d][chunk] == ChunkState::Done ||
                       chunks_[d][chunk] == ChunkState::Failed;
            });
            if (chunks_[d][chunk] == ChunkState::Done) return true;
            failed = firstError_.empty() ? "cancelled" : firstError_;
            return false;
        };
        return builder.finish(ensure, &halt_, why);
    }

    const FetchPlan& plan_;
    std::mutex mutex_;  // guards everything below but halt_
    std::condition_variable changed_;
    std::deque<std::pair<std::size_t, std::size_t>> queue_;  // (download, chunk or kWhole)
    std::vector<std::unique_ptr<ChunkBuilder>> builders_;    // per download; null when whole
    std::vector<std::vector<ChunkState>> chunks_;
    std::size_t unfinished_;
    std::uint64_t done_ = 0;               // packed bytes of finished objects
    std::vector<std::uint64_t> inFlight_;  // per worker: bytes of its object so far
    double shown_ = 0.0;
    std::string firstError_;
    std::atomic<bool> halt_{false};  // a failure or the caller's cancel: every transfer stops
};

}  // namespace

bool planDownloads(const JobPlace& place, const std::vector<const Entry*>& entries,
                   const Manifest* installed, DownloadPlan& plan, std::string& error) {
    plan = DownloadPlan();
    std::optional<FileIndex> index;
    if (installed != nullptr) index.emplace(*installed);
    std::set<std::string_view> seen;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = *entries[i];
        if (!seen.insert(entry.hash).second || isStaged(place.staging() / entry.hash, entry))
            continue;
        Download download{.index = i, .entry = &entry, .packedBytes = entry.packedSize};
        if (!entry.chunksHash.empty()) {
            download.chunked = std::make_unique<ChunkedFile>();
            if (!planChunkedFile(place, entry, index ? index->find(entry.path) : nullptr,
                                 *download.chunked, error))
                return false;
            download.packedBytes = download.chunked->packedToFetch;
        }
        plan.packedBytes = addSaturating(plan.packedBytes, download.packedBytes);
        plan.downloads.push_back(std::move(download));
    }
    return true;
}

bool fetchObjects(const FetchPlan& plan, std::string& error) {
    if (plan.downloads.downloads.empty()) return true;
    Pool pool(plan);
    const std::size_t count =
        std::min<std::size_t>(pool.tasks(), std::size_t(std::max(1, plan.place.connections)));
    pool.setSlots(count);
    std::vector<std::thread> workers;
    for (std::size_t slot = 1; slot < count; ++slot) {
        try {
            workers.emplace_back(&Pool::worker, &pool, slot);
        } catch (const std::system_error&) {
            break;  // fewer threads still fetch everything
        }
    }
    // The job's own thread fetches too; while it waits on a transfer, a watcher passes the
    // caller's cancel on.
    std::thread watcher;
    std::atomic<bool> jobDone{false};
    const std::atomic<bool>* cancel = plan.place.cancel;
    try {
        watcher = std::thread([&] {
            while (!jobDone.load() && !pool.halted().load()) {
                if (cancel != nullptr && cancel->load()) return pool.cancel();
                std::this_thread::sleep_for(kCancelPoll);
            }
        });
    } catch (const std::system_error&) {
    }
    if (cancel != nullptr && cancel->load()) pool.cancel();
    pool.worker(0);
    for (std::thread& t : workers) t.join();
    jobDone = true;
    if (watcher.joinable()) watcher.join();
    return pool.finished(error);
}

}  // namespace kd::launcher
