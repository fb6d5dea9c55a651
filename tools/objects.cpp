#include "tools/objects.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <vector>

#include "base/base.h"
#include "release/crypto.h"
#include "release/inflate.h"
#include "tools/text.h"

namespace kd::tool {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunkBytes = 1 << 20;
constexpr int kPackLevel = 9;

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

// A name beside the target that no other writer uses (the folder's own lock keeps other
// publishes out; the workers of this one may meet). Server folders remove these names when a
// publish was killed before it renamed one.
std::string uniquePartName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + "." + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".part";
}

// True when the object unpacks to exactly this content, as the launcher's own inflater reads it.
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

// Reads as much as fills the piece: a short read is not the end of a file, only a read that
// returns nothing is. -1 on a read error.
long readPiece(int fd, std::vector<unsigned char>& piece) {
    std::size_t got = 0;
    for (long last; got < piece.size(); got += std::size_t(last))
        if ((last = readSome(fd, piece.data() + got, piece.size() - got)) <= 0) {
            if (last < 0) return -1;
            break;
        }
    return long(got);
}

// Packs a file into a temporary name beside the object in pieces, re-hashing what it reads so a
// file that changed since it was hashed is noticed, then renames the object into place.
ObjectResult packObject(const fs::path& file, const fs::path& object, const std::string& digest,
                        std::uint64_t& packedSize, std::string& error, const std::string& name,
                        Progress* progress) {
    UniqueFd in = openToRead(file);
    if (!in) {
        error = "cannot read " + quoteName(name);
        return ObjectResult::Failed;
    }
    const std::string part = uniquePartName(object.string());
    UniqueFd out(::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    const std::string cannotWrite = "cannot write " + quoteName(object.string());
    if (!out) {
        error = cannotWrite;
        return ObjectResult::Failed;
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
        const long got = readPiece(in.get(), raw);
        if (got < 0) {
            ok = false;
            error = "cannot read " + quoteName(name);
            break;
        }
        hasher.add(raw.data(), std::size_t(got));
        if (progress) progress->bytes += std::uint64_t(got);
        flush = std::size_t(got) < raw.size() ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = raw.data();
        stream.avail_in = unsigned(got);
        do {
            stream.next_out = packed.data();
            stream.avail_out = unsigned(packed.size());
            deflate(&stream, flush);
            const std::size_t produced = packed.size() - stream.avail_out;
            if (!writeAll(out.get(), packed.data(), produced)) {
                ok = false;
                error = cannotWrite;
                break;
            }
            packedSize += produced;
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    if (!out.close() && ok) {
        ok = false;
        error = cannotWrite;
    }
    const bool changed = ok && hasher.finish() != digest;
    if (ok && !changed && ::rename(part.c_str(), object.c_str()) != 0) {
        ok = false;
        error = cannotWrite;
    }
    if (!ok || changed) ::unlink(part.c_str());
    return !ok ? ObjectResult::Failed : changed ? ObjectResult::Changed : ObjectResult::Ready;
}

}  // namespace

bool hashDescriptor(int fd, std::string& digest, std::uint64_t& size, Progress* progress) {
    std::vector<unsigned char>& buffer = threadBuffers().in;
    FileHasher hasher;
    size = 0;
    long got;
    while ((got = readSome(fd, buffer.data(), buffer.size())) > 0) {
        hasher.add(buffer.data(), std::size_t(got));
        size += std::uint64_t(got);
        if (progress) progress->bytes += std::uint64_t(got);
    }
    digest = hasher.finish();
    return got == 0;
}

bool hashWhole(const fs::path& file, std::string& digest, std::uint64_t& size, Progress* progress) {
    UniqueFd in = openToRead(file);
    return in && hashDescriptor(in.get(), digest, size, progress);
}

ObjectResult provideObject(const fs::path& file, const std::string& name, const std::string& hash,
                           std::uint64_t size, const fs::path& objects, const PublishCache& cache,
                           ObjectState& state, std::string& error, Progress* progress) {
    const fs::path object = objects / hash;
    state = ObjectState();
    Stamp before, after;
    if (stampOf(object, before)) {
        const auto known = cache.objects.find(hash);
        state.trusted = known != cache.objects.end() && known->second == before;
        // The stamp is taken before the object is read, so a change while it is read shows.
        if (state.trusted ||
            (objectHolds(object, hash, size) && stampOf(object, after) && after == before)) {
            state.packedSize = before.size;
            state.stamp = before;
            if (progress) progress->bytes += size;
            return ObjectResult::Ready;
        }
        state.trusted = false;
        state.replaced = true;
    }
    state.isNew = true;
    const ObjectResult result =
        packObject(file, object, hash, state.packedSize, error, name, progress);
    if (result == ObjectResult::Ready && !stampOf(object, state.stamp)) state.stamp = Stamp();
    return result;
}

}  // namespace kd::tool
