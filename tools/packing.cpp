#include "tools/packing.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "base/base.h"
#include "release/crypto.h"
#include "release/inflate.h"

namespace kd::tool {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunkBytes = 1 << 20;
constexpr int kPackLevel = 9;
constexpr unsigned kMaxPackThreads = 8;

// Two piece buffers per worker thread, reused from file to file, so that a game of many small
// files does not cost two large allocations for each.
struct Buffers {
    std::vector<unsigned char> in = std::vector<unsigned char>(kChunkBytes);
    std::vector<unsigned char> out = std::vector<unsigned char>(kChunkBytes);
};

Buffers& threadBuffers() {
    thread_local Buffers buffers;
    return buffers;
}

UniqueFd openToRead(const fs::path& file) {
    return UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
}

// A name beside the target that no other writer uses, also not another publish running at the
// same time into the same folder.
std::string uniquePartName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + "." + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".part";
}

// True when the object already on the server unpacks to exactly this content, as the launcher's
// own inflater reads it.
bool objectHolds(const fs::path& object, const std::string& digest, std::uint64_t size) {
    UniqueFd in = openToRead(object);
    if (!in) return false;
    FileHasher hasher;
    Inflater inflater(size, [&hasher](const std::uint8_t* data, std::size_t length) {
        hasher.add(data, length);
        return true;
    });
    std::vector<unsigned char>& packed = threadBuffers().in;
    for (;;) {
        const long got = readSome(in.get(), packed.data(), packed.size());
        if (got < 0) return false;
        if (got == 0) break;
        if (!inflater.push(packed.data(), std::size_t(got))) return false;
    }
    return inflater.finish() && hasher.finish() == digest;
}

// Packs a file into a temporary name beside the object in pieces, re-hashing what it reads so a
// file that changed since it was hashed is noticed, then renames the object into place.
bool packObject(const fs::path& file, const fs::path& object, const std::string& digest,
                std::uint64_t& packedSize, std::string& error, const std::string& name,
                Progress* progress) {
    UniqueFd in = openToRead(file);
    if (!in) {
        error = "cannot read " + name;
        return false;
    }
    const std::string part = uniquePartName(object.string());
    UniqueFd out(::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out) {
        error = "cannot write " + object.string();
        return false;
    }
    z_stream stream{};
    deflateInit(&stream, kPackLevel);
    std::vector<unsigned char>& raw = threadBuffers().in;
    std::vector<unsigned char>& packed = threadBuffers().out;
    FileHasher hasher;
    bool ok = true;
    packedSize = 0;
    int flush = Z_NO_FLUSH;
    while (ok && flush != Z_FINISH) {
        // A short read is not the end of a file: only a read that returns nothing is.
        std::size_t got = 0;
        long last = 1;
        while (got < raw.size() &&
               (last = readSome(in.get(), raw.data() + got, raw.size() - got)) > 0)
            got += std::size_t(last);
        if (last < 0) {
            ok = false;
            error = "cannot read " + name;
            break;
        }
        hasher.add(raw.data(), got);
        if (progress) progress->bytes += got;
        flush = got < raw.size() ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = raw.data();
        stream.avail_in = unsigned(got);
        do {
            stream.next_out = packed.data();
            stream.avail_out = unsigned(packed.size());
            deflate(&stream, flush);
            std::size_t produced = packed.size() - stream.avail_out;
            if (!writeAll(out.get(), packed.data(), produced)) {
                ok = false;
                error = "cannot write " + object.string();
                break;
            }
            packedSize += produced;
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    if (!out.close() && ok) {
        ok = false;
        error = "cannot write " + object.string();
    }
    if (ok && hasher.finish() != digest) {
        ok = false;
        error = name + " changed while it was being published";
    }
    if (ok && ::rename(part.c_str(), object.c_str()) != 0) {
        ok = false;
        error = "cannot write " + object.string();
    }
    if (!ok) ::unlink(part.c_str());
    return ok;
}

unsigned packThreads() {
    return std::max(1u, std::min(std::thread::hardware_concurrency(), kMaxPackThreads));
}

// Runs work(i, error) for every index on packThreads() threads; the first failure stops the rest.
bool parallelFor(std::size_t count, const std::function<bool(std::size_t, std::string&)>& work,
                 std::string& error) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;  // guards error
    auto worker = [&] {
        for (std::size_t i = next++; i < count && !failed; i = next++) {
            std::string message;
            if (!work(i, message)) {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (!failed.exchange(true)) error = message;
            }
        }
    };
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < packThreads(); ++i) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
    return !failed;
}

}  // namespace

bool hashWhole(const fs::path& file, std::string& digest, std::uint64_t& size, Progress* progress) {
    UniqueFd in = openToRead(file);
    if (!in) return false;
    std::vector<unsigned char>& buffer = threadBuffers().in;
    FileHasher hasher;
    size = 0;
    long got;
    while ((got = readSome(in.get(), buffer.data(), buffer.size())) > 0) {
        hasher.add(buffer.data(), std::size_t(got));
        size += std::uint64_t(got);
        if (progress) progress->bytes += std::uint64_t(got);
    }
    digest = hasher.finish();
    return got == 0;
}

bool publishObject(const fs::path& file, const std::string& name, const fs::path& objects,
                   Packed& result, std::string& error, Progress* progress) {
    Entry& entry = result.entry;
    fs::path object = objects / entry.hash;
    std::error_code sizeError;
    // An object this tool wrote for an unchanged file is trusted by its size, not read again.
    if (result.known && fs::file_size(object, sizeError) == result.known->packedSize &&
        !sizeError) {
        entry.packedSize = result.known->packedSize;
        return true;
    }
    if (objectHolds(object, entry.hash, entry.size)) {
        std::error_code ec;
        entry.packedSize = fs::file_size(object, ec);
        if (!ec) {
            if (progress) progress->bytes += entry.size;
            return true;
        }
    }
    result.isNew = true;
    return packObject(file, object, entry.hash, entry.packedSize, error, name, progress);
}

bool publishAll(const std::vector<Source>& sources, const Cache& cache, const fs::path& objects,
                bool showProgress, std::vector<Packed>& results, Totals& totals,
                std::string& error) {
    results.assign(sources.size(), Packed());
    std::uint64_t totalBytes = 0;
    std::error_code ec;
    for (const Source& source : sources) totalBytes += fs::file_size(source.file, ec);
    {
        Progress progress;
        ProgressLine line(showProgress, "hashed", sources.size(), totalBytes, progress);
        auto hashOne = [&](std::size_t i, std::string& message) {
            Packed& result = results[i];
            result.entry.path = sources[i].path;
            result.lookedAtNs = wallClockNs();
            if (identify(sources[i].file, result.identity)) {
                auto known = cache.find(sources[i].cacheKey);
                if (known != cache.end() && known->second.identity == result.identity) {
                    result.known = &known->second;
                    result.entry.hash = known->second.hash;
                    result.entry.size = result.identity.size;
                    progress.bytes += result.entry.size;
                    progress.files++;
                    return true;
                }
            }
            bool ok = hashWhole(sources[i].file, result.entry.hash, result.entry.size, &progress);
            progress.files++;
            if (!ok) message = "cannot read " + sources[i].path;
            return ok;
        };
        if (!parallelFor(sources.size(), hashOne, error)) return false;
    }

    std::map<std::string, std::size_t> firstWithHash;
    std::vector<std::size_t> distinct;
    std::uint64_t distinctBytes = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (!firstWithHash.emplace(results[i].entry.hash, i).second) continue;
        distinct.push_back(i);
        distinctBytes += results[i].entry.size;
    }
    {
        Progress progress;
        ProgressLine line(showProgress, "packed", distinct.size(), distinctBytes, progress);
        auto packOne = [&](std::size_t k, std::string& message) {
            std::size_t i = distinct[k];
            bool ok = publishObject(sources[i].file, sources[i].path, objects, results[i], message,
                                    &progress);
            progress.files++;
            return ok;
        };
        if (!parallelFor(distinct.size(), packOne, error)) return false;
    }
    for (std::size_t i : distinct) ++(results[i].isNew ? totals.newObjects : totals.reusedObjects);
    for (Packed& result : results) {
        totals.unchangedFiles += result.known != nullptr;
        result.entry.packedSize = results[firstWithHash[result.entry.hash]].entry.packedSize;
        totals.bytes += result.entry.size;
    }
    return true;
}

}  // namespace kd::tool
