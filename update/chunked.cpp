#include "update/chunked.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <system_error>
#include <unordered_map>

#include "base/base.h"
#include "log/log.h"
#include "release/crypto.h"
#include "update/download.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kCopyPieceBytes = std::size_t(1) << 20;

// Collects an object in memory: chunk lists are small and bounded by the manifest.
class TextSink final : public ObjectSink {
public:
    explicit TextSink(std::string& text) : text_(text) {}
    bool begin() override {
        text_.clear();
        return true;
    }
    bool write(const std::uint8_t* data, std::size_t length) override {
        text_.append(reinterpret_cast<const char*>(data), length);
        return true;
    }
    bool end() override { return true; }
    int error() const override { return 0; }

private:
    std::string& text_;
};

fs::path cachedList(const JobPlace& place, const std::string& hash) {
    return place.installDir / kChunkListsName / hash;
}

// Writes an object's bytes at its place in the file being built; a downloaded chunk's packed bytes
// are kept in packed while it comes.
class OffsetSink final : public ObjectSink {
public:
    OffsetSink(int fd, std::uint64_t offset, fs::path packed = {})
        : fd_(fd), start_(offset), packed_(std::move(packed)) {}
    bool begin() override {
        at_ = start_;
        return true;
    }
    bool write(const std::uint8_t* data, std::size_t length) override {
        while (length > 0) {
            const ssize_t put = ::pwrite(fd_, data, length, static_cast<off_t>(at_));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                error_ = put < 0 ? errno : ENOSPC;
                return false;
            }
            data += put;
            length -= static_cast<std::size_t>(put);
            at_ += static_cast<std::uint64_t>(put);
        }
        return true;
    }
    bool end() override { return true; }
    int error() const override { return error_; }
    fs::path packedCopy() const override { return packed_; }

private:
    int fd_;
    std::uint64_t start_, at_ = 0;
    fs::path packed_;
    int error_ = 0;
};

}  // namespace

bool loadChunkList(const JobPlace& place, const Entry& file, std::vector<Chunk>& chunks,
                   std::string& error) {
    const Entry list = chunkListEntry(file);
    const fs::path cached = cachedList(place, list.hash);
    std::string text;
    if (readWholeFile(cached, text, list.size) == 0 && text.size() == list.size &&
        hashBuffer(text.data(), text.size()) == list.hash)
        return parseChunkList(text, file, chunks, error);
    TextSink sink(text);
    if (!fetchObject(
            *place.servers, list, sink, {}, place.cancel, [](int) { return std::string(); }, error))
        return false;
    if (!parseChunkList(text, file, chunks, error)) return false;
    std::error_code ec;
    fs::create_directories(cached.parent_path(), ec);
    (void)writeFileAtomic(cached, text,
                          Durability::Cached);  // a list not kept is fetched again next time
    return true;
}

bool readAt(int fd, std::uint8_t* buffer, std::size_t length, std::uint64_t offset) {
    while (length > 0) {
        const ssize_t got = ::pread(fd, buffer, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer += got;
        length -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

ChunkBuilder::ChunkBuilder(const JobPlace& place, const ChunkedFile& file)
    : place_(place), file_(file) {}

bool ChunkBuilder::open(std::string& error) {
    const fs::path build = buildPath(place_, *file_.entry);
    // Only the file a plan found at full size may carry chunks over; anything else starts afresh.
    const bool resumed =
        std::find(file_.present.begin(), file_.present.end(), true) != file_.present.end();
    fd_ = resumed ? UniqueFd(::open(build.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW))
                  : createFresh(build, 0644, true);
    if (!fd_ || ::ftruncate(fd_.get(), static_cast<off_t>(file_.entry->size)) != 0) {
        error = cannotWrite(place_.staging(), errno);
        return false;
    }
    if (!file_.oldFile.empty())
        old_ = UniqueFd(::open(file_.oldFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return true;
}

// In pieces, so that every worker copying at once stays small; the bytes go into the file being
// built before their hash is known, since a chunk found wrong is downloaded over them.
bool ChunkBuilder::copyHeld(std::size_t chunk) {
    const std::int64_t from = file_.oldOffsets[chunk];
    if (from < 0 || !old_) return false;
    const Chunk& c = file_.chunks[chunk];
    std::vector<std::uint8_t> piece(std::min<std::size_t>(c.size, kCopyPieceBytes));
    OffsetSink sink(fd_.get(), file_.offsets[chunk]);
    FileHasher hasher;
    if (!sink.begin()) return false;
    for (std::uint32_t at = 0; at < c.size;) {
        const std::size_t length = std::min<std::size_t>(piece.size(), c.size - at);
        if (!readAt(old_.get(), piece.data(), length, std::uint64_t(from) + at) ||
            !sink.write(piece.data(), length))
            return false;
        hasher.add(piece.data(), length);
        at += std::uint32_t(length);
    }
    return hasher.finish() == c.hash;
}

bool ChunkBuilder::download(std::size_t chunk, const std::function<void(std::uint64_t)>& progress,
                            const std::atomic<bool>* cancel, std::string& error) {
    OffsetSink sink(fd_.get(), file_.offsets[chunk], packedPath(place_, *file_.entry, chunk));
    const auto writeFailure = [this](int failed) { return cannotWrite(place_.staging(), failed); };
    return fetchObject(*place_.servers, chunkEntry(file_.chunks[chunk], *file_.entry), sink,
                       progress, cancel, writeFailure, error);
}

bool ChunkBuilder::finish(const std::function<bool(std::size_t, std::string&)>& ensure,
                          const std::atomic<bool>* cancel, std::string& error) {
    const Entry& entry = *file_.entry;
    const fs::path build = buildPath(place_, entry);
    std::vector<std::uint8_t> buffer(kMaxChunkBytes);
    FileHasher whole;
    for (std::size_t i = 0; i < file_.chunks.size(); ++i) {
        if (cancel != nullptr && cancel->load()) {
            error = "cancelled";
            return false;
        }
        const Chunk& chunk = file_.chunks[i];
        if (!file_.present[i] && !ensure(i, error)) return false;
        if (!readAt(fd_.get(), buffer.data(), chunk.size, file_.offsets[i])) {
            error = cannotWrite(place_.staging(), errno);
            return false;
        }
        whole.add(buffer.data(), chunk.size);
    }
    if (whole.finish() != entry.hash) {
        // Every chunk matched and the whole does not: the list lied. Nothing of it is kept.
        fd_.close();
        ::unlink(build.c_str());
        error = "a download did not match the release";
        launcherLog.warn("%s built from its chunks does not match its hash", entry.path.c_str());
        return false;
    }
    const fs::path staged = place_.staging() / entry.hash;
    if (!fd_.close() || ::rename(build.c_str(), staged.c_str()) != 0) {
        error = cannotWrite(place_.staging(), errno);
        return false;
    }
    return true;
}

fs::path buildPath(const JobPlace& place, const Entry& entry) {
    return place.staging() / (entry.hash + ".part");
}

fs::path packedPath(const JobPlace& place, const Entry& entry, std::size_t chunk) {
    return place.staging() / (entry.hash + "." + std::to_string(chunk) + ".packed");
}

bool planChunkedFile(const JobPlace& place, const Entry& entry, const Entry* installed,
                     ChunkedFile& file, std::string& error) {
    file = ChunkedFile();
    file.entry = &entry;
    if (!loadChunkList(place, entry, file.chunks, error)) return false;
    const std::size_t count = file.chunks.size();
    file.offsets.resize(count);
    file.oldOffsets.assign(count, -1);
    file.present.assign(count, false);
    file.packedHeld.assign(count, 0);
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        file.offsets[i] = at;
        at += file.chunks[i].size;
    }

    std::vector<std::uint8_t> buffer;
    // What an interrupted build left: each chunk found right in it stays.
    const fs::path build = buildPath(place, entry);
    if (regularFileOfSize(place.staging(), build, entry.size)) {
        UniqueFd fd(::open(build.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        buffer.resize(kMaxChunkBytes);
        for (std::size_t i = 0; fd && i < count; ++i) {
            const Chunk& chunk = file.chunks[i];
            file.present[i] = readAt(fd.get(), buffer.data(), chunk.size, file.offsets[i]) &&
                              hashBuffer(buffer.data(), chunk.size) == chunk.hash;
        }
    }

    // What the installed copy holds by its own list; each such chunk is checked when it is read.
    const fs::path old = place.gameDir() / entry.path;
    std::vector<Chunk> oldChunks;
    std::string why;
    if (installed != nullptr && !installed->chunksHash.empty() &&
        regularFileOfSize(place.gameDir(), old, installed->size)) {
        if (loadChunkList(place, *installed, oldChunks, why)) {
            std::unordered_map<std::string_view, std::uint64_t> held;
            std::uint64_t offset = 0;
            for (const Chunk& chunk : oldChunks) {
                held.emplace(chunk.hash, offset);
                offset += chunk.size;
            }
            for (std::size_t i = 0; i < count; ++i)
                if (const auto it = held.find(file.chunks[i].hash); it != held.end())
                    file.oldOffsets[i] = std::int64_t(it->second);
            file.oldFile = old;
        } else {
            launcherLog.warn("%s; every chunk of %s is downloaded", why.c_str(),
                             entry.path.c_str());
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!file.needsFetch(i)) continue;
        // Taken up where an interrupted download of the chunk stopped.
        struct stat st {};
        const fs::path packed = packedPath(place, entry, i);
        if (::lstat(packed.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            std::uint64_t(st.st_size) <= file.chunks[i].packedSize)
            file.packedHeld[i] = std::uint64_t(st.st_size);
        file.packedToFetch =
            addSaturating(file.packedToFetch, file.chunks[i].packedSize - file.packedHeld[i]);
    }
    return true;
}

void keepChunkLists(const JobPlace& place, const Manifest& release) {
    std::set<std::string> kept;
    for (const Entry& entry : release.files)
        if (!entry.chunksHash.empty()) kept.insert(entry.chunksHash);
    std::error_code ec;
    const fs::path folder = place.installDir / kChunkListsName;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (kept.count(it->path().filename().string()) == 0) fs::remove(it->path(), ec);
}

}  // namespace kd::launcher
