#include "tools/chunked.h"

#include <fcntl.h>

#include <condition_variable>
#include <deque>
#include <thread>

#include "base/base.h"
#include "release/crypto.h"
#include "release/inflate.h"
#include "tools/text.h"

namespace kd::tool {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadPieceBytes = std::size_t(1) << 20;
// Chunks cut and waiting for the packer: with the one being cut and the one being packed, a big
// file holds at most this many and two more chunks in memory.
constexpr std::size_t kMaxWaitingChunks = 1;

using Bytes = std::vector<std::uint8_t>;

// Hands cut chunks from the reading thread to the one that packs them, a few at a time.
class ChunkQueue {
public:
    // False once the packer has stopped.
    bool push(Bytes chunk) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return waiting_.size() < kMaxWaitingChunks || stopped_; });
        if (stopped_) return false;
        waiting_.push_back(std::move(chunk));
        ready_.notify_one();
        return true;
    }
    // False at the end of the file.
    bool pop(Bytes& chunk) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return !waiting_.empty() || ended_; });
        if (waiting_.empty()) return false;
        chunk = std::move(waiting_.front());
        waiting_.pop_front();
        room_.notify_one();
        return true;
    }
    void end() {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        ready_.notify_one();
    }
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        room_.notify_one();
    }

private:
    std::mutex mutex_;  // guards waiting_, ended_ and stopped_
    std::condition_variable room_, ready_;
    std::deque<Bytes> waiting_;
    bool ended_ = false, stopped_ = false;
};

// Makes objects of the chunks as the queue gives them, each named by its own hash.
bool packChunks(ChunkQueue& queue, const fs::path& objects, const PublishCache& cache,
                ObjectBook& book, std::vector<Chunk>& chunks, std::string& error) {
    Bytes bytes;
    while (queue.pop(bytes)) {
        Chunk chunk{hashBuffer(bytes.data(), bytes.size()), std::uint32_t(bytes.size()), 0};
        if (book.claim(chunk.hash)) {
            ObjectState state;
            if (!provideBytes(bytes.data(), bytes.size(), chunk.hash, objects, cache, state,
                              error)) {
                queue.stop();
                return false;
            }
            book.settle(chunk.hash, state);
        }
        chunks.push_back(std::move(chunk));
    }
    return true;
}

// Reads the file in pieces into the whole-file hasher and object and the chunker; each chunk cut
// goes to the queue.
bool readWhole(int fd, const std::string& name, PartObject& whole, FileHasher& hasher,
               std::uint64_t& size, ChunkQueue& queue, std::string& error, Progress& progress) {
    Bytes piece(kReadPieceBytes), chunk;
    chunk.reserve(kMaxChunkBytes);
    Chunker chunker;
    size = 0;
    for (long got; (got = readSome(fd, piece.data(), piece.size())) != 0;) {
        if (got < 0) {
            error = "cannot read " + quoteName(name);
            return false;
        }
        const std::uint8_t* data = piece.data();
        hasher.add(data, std::size_t(got));
        if (!whole.add(data, std::size_t(got), error)) return false;
        size += std::uint64_t(got);
        progress.bytes += std::uint64_t(got);
        for (std::size_t at = 0; at < std::size_t(got);) {
            const std::size_t rest = std::size_t(got) - at;
            const std::size_t taken = chunker.cut(data + at, rest);
            chunk.insert(chunk.end(), data + at, data + at + taken);
            at += taken;
            if (taken == rest) continue;
            if (!queue.push(std::move(chunk))) return false;
            chunk = Bytes();
            chunk.reserve(kMaxChunkBytes);
        }
    }
    return chunk.empty() || queue.push(std::move(chunk));
}

// The unpacked text of an object of the server folder, when it unpacks to its name.
bool readObject(const fs::path& objects, const Entry& object, std::string& text) {
    std::string packed;
    std::vector<std::uint8_t> out;
    if (readWholeFile(objects / object.hash, packed, object.packedSize) != 0 ||
        !inflateZlib(reinterpret_cast<const std::uint8_t*>(packed.data()), packed.size(),
                     object.size, out) ||
        hashBuffer(out.data(), out.size()) != object.hash)
        return false;
    text.assign(out.begin(), out.end());
    return true;
}

}  // namespace

bool ObjectBook::claim(const std::string& hash) {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_.emplace(hash, ObjectState()).second;
}

void ObjectBook::settle(const std::string& hash, const ObjectState& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_[hash] = state;
}

ObjectState ObjectBook::find(const std::string& hash) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = states_.find(hash);
    return found == states_.end() ? ObjectState() : found->second;
}

bool packChunked(const fs::path& file, const fs::path& objects, const PublishCache& cache,
                 ObjectBook& book, Entry& entry, std::vector<Chunk>& chunks, std::string& error,
                 Progress& progress) {
    UniqueFd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) {
        error = "cannot read " + quoteName(entry.path);
        return false;
    }
    PartObject whole(objects);
    FileHasher hasher;
    ChunkQueue queue;
    std::string packError;
    bool packed = true;
    chunks.clear();
    std::thread packer(
        [&] { packed = packChunks(queue, objects, cache, book, chunks, packError); });
    const bool read =
        readWhole(in.get(), entry.path, whole, hasher, entry.size, queue, error, progress);
    queue.end();
    packer.join();
    if (!packed) error = packError;
    if (!read || !packed || !whole.finish(error)) return false;
    entry.hash = hasher.finish();
    if (!book.claim(entry.hash)) return true;  // another file of the same content settles it
    ObjectState state;
    if (!objectReady(objects, entry.hash, entry.size, cache, state) &&
        !whole.place(entry.hash, state, error))
        return false;
    book.settle(entry.hash, state);
    return true;
}

bool provideChunkList(const fs::path& objects, const PublishCache& cache, ObjectBook& book,
                      std::vector<Chunk>& chunks, Entry& entry, std::string& error) {
    for (Chunk& chunk : chunks) chunk.packedSize = book.find(chunk.hash).packedSize;
    const std::string list = writeChunkList(chunks);
    entry.chunksHash = hashBuffer(list.data(), list.size());
    entry.chunksSize = list.size();
    if (book.claim(entry.chunksHash)) {
        ObjectState state;
        if (!provideBytes(reinterpret_cast<const std::uint8_t*>(list.data()), list.size(),
                          entry.chunksHash, objects, cache, state, error))
            return false;
        book.settle(entry.chunksHash, state);
    }
    entry.chunksPackedSize = book.find(entry.chunksHash).packedSize;
    return true;
}

bool vouchForChunks(const fs::path& objects, const PublishCache& cache, ObjectBook& book,
                    Entry& entry) {
    ObjectState listState;
    std::string text, ignored;
    std::vector<Chunk> chunks;
    if (!objectReady(objects, entry.chunksHash, entry.chunksSize, cache, listState)) return false;
    entry.chunksPackedSize = listState.packedSize;
    if (!readObject(objects, chunkListEntry(entry), text) ||
        !parseChunkList(text, entry, chunks, ignored))
        return false;
    for (const Chunk& chunk : chunks) {
        // The list must name each chunk as the server holds it, packed size and all.
        ObjectState state = book.find(chunk.hash);
        if (state.packedSize == 0 && !objectReady(objects, chunk.hash, chunk.size, cache, state))
            return false;
        if (state.packedSize != chunk.packedSize) return false;
        book.settle(chunk.hash, state);
    }
    book.settle(entry.chunksHash, listState);
    return true;
}

}  // namespace kd::tool
