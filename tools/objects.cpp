#include "tools/objects.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "base/base.h"
#include "release/crypto.h"
#include "release/inflate.h"
#include "tools/text.h"

namespace kd::tool {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPieceBytes = 1 << 20;
constexpr int kPackLevel = 9;
// A part whose content is not named yet: a digest no content has, so that a killed publish's
// part is still removed as an object's.
constexpr const char* kUnnamedObject =
    "0000000000000000000000000000000000000000000000000000000000000000";

// Two piece buffers per worker thread, reused from file to file, so that a game of many small
// files does not cost two large allocations for each.
struct Buffers {
    std::vector<unsigned char> in = std::vector<unsigned char>(kPieceBytes);
    std::vector<unsigned char> out = std::vector<unsigned char>(kPieceBytes);
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

// Packs a file into a part object in pieces, re-hashing what it reads so a file that changed since
// it was hashed is noticed, then renames the object into place.
ObjectResult packObject(const fs::path& file, const fs::path& objects, const std::string& digest,
                        ObjectState& state, std::string& error, const std::string& name,
                        Progress* progress) {
    UniqueFd in = openToRead(file);
    if (!in) {
        error = "cannot read " + quoteName(name);
        return ObjectResult::Failed;
    }
    PartObject part(objects);
    std::vector<unsigned char>& raw = threadBuffers().in;
    FileHasher hasher;
    for (;;) {
        const long got = readPiece(in.get(), raw);
        if (got < 0) {
            error = "cannot read " + quoteName(name);
            return ObjectResult::Failed;
        }
        hasher.add(raw.data(), std::size_t(got));
        if (progress) progress->bytes += std::uint64_t(got);
        if (!part.add(raw.data(), std::size_t(got), error)) return ObjectResult::Failed;
        if (std::size_t(got) < raw.size()) break;
    }
    if (!part.finish(error)) return ObjectResult::Failed;
    if (hasher.finish() != digest) return ObjectResult::Changed;
    return part.place(digest, state, error) ? ObjectResult::Ready : ObjectResult::Failed;
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

bool objectReady(const fs::path& objects, const std::string& hash, std::uint64_t size,
                 const PublishCache& cache, ObjectState& state) {
    const fs::path object = objects / hash;
    state = ObjectState();
    Stamp before, after;
    if (!stampOf(object, before)) return false;
    const auto known = cache.objects.find(hash);
    state.trusted = known != cache.objects.end() && known->second == before;
    // The stamp is taken before the object is read, so a change while it is read shows.
    if (state.trusted ||
        (objectHolds(object, hash, size) && stampOf(object, after) && after == before)) {
        state.packedSize = before.size;
        state.stamp = before;
        return true;
    }
    state.trusted = false;
    state.replaced = true;
    return false;
}

ObjectResult provideObject(const fs::path& file, const std::string& name, const std::string& hash,
                           std::uint64_t size, const fs::path& objects, const PublishCache& cache,
                           ObjectState& state, std::string& error, Progress* progress) {
    if (objectReady(objects, hash, size, cache, state)) {
        if (progress) progress->bytes += size;
        return ObjectResult::Ready;
    }
    return packObject(file, objects, hash, state, error, name, progress);
}

bool provideBytes(const std::uint8_t* data, std::size_t size, const std::string& hash,
                  const fs::path& objects, const PublishCache& cache, ObjectState& state,
                  std::string& error) {
    if (objectReady(objects, hash, size, cache, state)) return true;
    PartObject part(objects);
    return part.add(data, size, error) && part.finish(error) && part.place(hash, state, error);
}

PartObject::PartObject(const fs::path& objects)
    : objects_(objects), part_(uniquePartName((objects / kUnnamedObject).string())) {
    out_ =
        UniqueFd(::open(part_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    deflateInit(&stream_, kPackLevel);
}

PartObject::~PartObject() {
    deflateEnd(&stream_);
    if (!placed_) ::unlink(part_.c_str());
}

bool PartObject::deflateSome(const std::uint8_t* data, std::size_t length, int flush,
                             std::string& error) {
    std::vector<unsigned char>& packed = threadBuffers().out;
    stream_.next_in = const_cast<std::uint8_t*>(data);
    stream_.avail_in = unsigned(length);
    do {
        stream_.next_out = packed.data();
        stream_.avail_out = unsigned(packed.size());
        deflate(&stream_, flush);
        const std::size_t produced = packed.size() - stream_.avail_out;
        if (!out_ || !writeAll(out_.get(), packed.data(), produced)) {
            error = "cannot write " + quoteName(objects_.string());
            return false;
        }
        packedSize_ += produced;
    } while (stream_.avail_out == 0 || stream_.avail_in > 0);
    return true;
}

bool PartObject::add(const std::uint8_t* data, std::size_t length, std::string& error) {
    // zlib counts its input in unsigned, so a big piece goes in a few at a time.
    constexpr std::size_t kMostAtOnce = std::size_t(1) << 30;
    for (std::size_t at = 0; at < length; at += kMostAtOnce)
        if (!deflateSome(data + at, std::min(kMostAtOnce, length - at), Z_NO_FLUSH, error))
            return false;
    return true;
}

bool PartObject::finish(std::string& error) {
    if (!deflateSome(nullptr, 0, Z_FINISH, error)) return false;
    if (!out_.close()) {
        error = "cannot write " + quoteName(objects_.string());
        return false;
    }
    return true;
}

bool PartObject::place(const std::string& hash, ObjectState& state, std::string& error) {
    const fs::path object = objects_ / hash;
    if (::rename(part_.c_str(), object.c_str()) != 0) {
        error = "cannot write " + quoteName(object.string());
        return false;
    }
    placed_ = true;
    state.isNew = true;
    state.trusted = false;
    state.packedSize = packedSize_;
    if (!stampOf(object, state.stamp)) state.stamp = Stamp();
    return true;
}

}  // namespace kd::tool
