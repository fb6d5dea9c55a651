#include "update/scan.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/base.h"
#include "release/chunks.h"
#include "release/crypto.h"
#include "update/chunked.h"

namespace kd::launcher {

namespace fs = std::filesystem;

namespace {

constexpr unsigned kMaxScanThreads = 8;
// A big file is hashed in pieces of about this many bytes (whole chunks), each by any thread.
constexpr std::uint64_t kPieceBytes = std::uint64_t(32) << 20;

// One piece of work: a whole file, or a run of a big file's chunks.
struct Piece {
    std::size_t file = 0;
    std::size_t firstChunk = 0, endChunk = 0;  // both 0: the whole file
    std::uint64_t offset = 0;                  // of firstChunk in the file
};

}  // namespace

std::vector<bool> scanDeep(const JobPlace& place, const std::vector<Entry>& files,
                           const std::function<void(double)>& done) {
    const fs::path gameDir = place.gameDir();
    const std::size_t count = files.size();
    std::vector<char> current(count, 0);
    std::vector<std::vector<Chunk>> lists(count);
    std::vector<std::size_t> left(count, 0);  // pieces of each file not yet hashed
    std::vector<Piece> pieces;
    std::size_t finished = 0;  // files with nothing to hash or every piece hashed
    for (std::size_t i = 0; i < count; ++i) {
        const Entry& entry = files[i];
        if (!regularFileOfSize(gameDir, gameDir / entry.path, entry.size)) {
            ++finished;
            continue;
        }
        current[i] = 1;
        std::string error;
        // Without its list (offline, say) a big file is hashed whole, as any file.
        if (entry.chunksHash.empty() || !loadChunkList(place, entry, lists[i], error)) {
            lists[i].clear();
            pieces.push_back({i});
            left[i] = 1;
            continue;
        }
        std::uint64_t offset = 0;
        for (std::size_t c = 0; c < lists[i].size();) {
            Piece piece{i, c, c, offset};
            std::uint64_t bytes = 0;
            while (piece.endChunk < lists[i].size() && (bytes == 0 || bytes < kPieceBytes))
                bytes += lists[i][piece.endChunk++].size;
            pieces.push_back(piece);
            ++left[i];
            offset += bytes;
            c = piece.endChunk;
        }
        if (left[i] == 0) ++finished;  // an empty big file
    }

    std::mutex mutex;  // guards left, finished, current and the calls of done
    const auto report = [&] {
        if (done && count > 0) done(double(finished) / double(count));
    };
    {
        std::lock_guard<std::mutex> lock(mutex);
        report();
    }
    std::atomic<std::size_t> next{0};
    const auto worker = [&] {
        std::vector<std::uint8_t> buffer;
        for (std::size_t at = next++; at < pieces.size(); at = next++) {
            const Piece& piece = pieces[at];
            const Entry& entry = files[piece.file];
            const fs::path path = gameDir / entry.path;
            bool ok = false;
            if (piece.endChunk == 0) {
                ok = hashFile(path.string()) == entry.hash;
            } else {
                buffer.resize(kMaxChunkBytes);
                UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
                std::uint64_t offset = piece.offset;
                ok = static_cast<bool>(fd);
                for (std::size_t c = piece.firstChunk; ok && c < piece.endChunk; ++c) {
                    const Chunk& chunk = lists[piece.file][c];
                    ok = readAt(fd.get(), buffer.data(), chunk.size, offset) &&
                         hashBuffer(buffer.data(), chunk.size) == chunk.hash;
                    offset += chunk.size;
                }
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (!ok) current[piece.file] = 0;
            if (--left[piece.file] == 0) {
                ++finished;
                report();
            }
        }
    };
    const unsigned threads = std::max(1u, std::min({std::thread::hardware_concurrency(),
                                                    kMaxScanThreads, unsigned(pieces.size())}));
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(worker);
        } catch (const std::system_error&) {
            break;  // fewer threads scan the same files
        }
    }
    worker();
    for (std::thread& t : helpers) t.join();
    return std::vector<bool>(current.begin(), current.end());
}

}  // namespace kd::launcher
