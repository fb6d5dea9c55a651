// Unpacking speed of inflateZlib against zlib's uncompress and libdeflate's whole-buffer
// decompressor, in one process, on each kind of content; and of an Inflater fed 64 KiB pushes, as
// downloads arrive, against zlib's inflate fed the same way. The corpora are built here from a
// fixed seed: objects of 256 KiB to 2 MiB of text-like, binary and already-compressed content,
// each packed by zlib as the release tool packs objects. Ratios are of times: ours / theirs.
// Usage: bench_inflate [--corpus-mib=N]   (per kind of content; default 32)
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "release/inflate.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kDefaultCorpusMiB = 32;
constexpr std::uint64_t kMinObjectBytes = 256 << 10;
constexpr std::uint64_t kMaxObjectBytes = 2 << 20;
constexpr int kRounds = 15;

struct Object {
    Bytes packed;
    std::uint64_t size;
};

// Words with a skewed frequency, lines of code-like and prose-like text, numbers.
Bytes textLike(std::size_t size, std::mt19937_64& rng) {
    static const char* const kWords[] = {
        "the",   "of",      "and",    "to",     "stone", "veil",   "player", "return", "if",
        "else",  "for",     "int",    "float",  "const", "level",  "quest",  "map",    "spawn",
        "local", "texture", "shader", "vertex", "sound", "volume", "enemy",  "health", "=",
        "{",     "}",       "(",      ");",     "//",    "0",      "1",      "true",   "false"};
    constexpr std::size_t kCount = std::size(kWords);
    Bytes out;
    out.reserve(size + 64);
    while (out.size() < size) {
        const double u = std::uniform_real_distribution<double>(0, 1)(rng);
        const auto i = static_cast<std::size_t>(kCount * u * u * u);  // favours the first words
        const char* w = kWords[std::min(i, kCount - 1)];
        out.insert(out.end(), w, w + std::strlen(w));
        const unsigned r = rng() % 16;
        if (r == 0) {
            const std::string number = std::to_string(rng() % 100000);
            out.push_back(' ');
            out.insert(out.end(), number.begin(), number.end());
        }
        out.push_back(r == 1 ? '\n' : ' ');
    }
    out.resize(size);
    return out;
}

// Records as in meshes and tables: a counter, coordinates that drift, flags, some noise.
Bytes binaryLike(std::size_t size, std::mt19937_64& rng) {
    Bytes out;
    out.reserve(size + 32);
    float x = 0, y = 0, z = 0;
    for (std::uint32_t id = 0; out.size() < size; ++id) {
        x += static_cast<float>(rng() % 100) / 100.0f;
        y += static_cast<float>(rng() % 7) / 8.0f;
        z = static_cast<float>(rng() % 4);
        const std::uint16_t flags = static_cast<std::uint16_t>(rng() % 8 == 0 ? rng() : 3);
        std::uint8_t record[20];
        std::memcpy(record, &id, 4);
        std::memcpy(record + 4, &x, 4);
        std::memcpy(record + 8, &y, 4);
        std::memcpy(record + 12, &z, 4);
        std::memcpy(record + 16, &flags, 2);
        record[18] = static_cast<std::uint8_t>(id % 3);
        record[19] = 0;
        out.insert(out.end(), record, record + sizeof record);
    }
    out.resize(size);
    return out;
}

Bytes pack(const Bytes& data, int level) {
    uLongf size = compressBound(data.size());
    Bytes packed(size);
    if (compress2(packed.data(), &size, data.data(), data.size(), level) != Z_OK) std::abort();
    packed.resize(size);
    return packed;
}

// Already-compressed content, such as images and audio: deflate output of text.
Bytes compressedLike(std::size_t size, std::mt19937_64& rng) {
    Bytes out;
    while (out.size() < size) {
        const Bytes packed = pack(textLike(4 * size, rng), 6);
        out.insert(out.end(), packed.begin(), packed.end());
    }
    out.resize(size);
    return out;
}

enum class Kind { Text, Binary, Compressed };

std::vector<Object> buildCorpus(Kind kind, std::uint64_t totalBytes) {
    std::mt19937_64 rng(20240601 + static_cast<int>(kind));
    std::vector<Object> corpus;
    std::uint64_t built = 0;
    for (unsigned i = 0; built < totalBytes; ++i) {
        std::uint64_t size = kMinObjectBytes + rng() % (kMaxObjectBytes - kMinObjectBytes);
        size = std::min(size, totalBytes - built);
        const Bytes data = kind == Kind::Text     ? textLike(size, rng)
                           : kind == Kind::Binary ? binaryLike(size, rng)
                                                  : compressedLike(size, rng);
        const int levels[] = {6, 9, 1};
        corpus.push_back({pack(data, levels[i % 3]), size});
        built += size;
    }
    return corpus;
}

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

constexpr std::size_t kPushBytes = 64 << 10;

bool oursInPushes(const Object& o) {
    kd::Inflater inflater(o.size, [](const std::uint8_t*, std::size_t) { return true; });
    for (std::size_t from = 0; from < o.packed.size(); from += kPushBytes) {
        const std::size_t n = std::min(kPushBytes, o.packed.size() - from);
        if (!inflater.push(o.packed.data() + from, n)) return false;
    }
    return inflater.finish();
}

// zlib's inflate with the same pushes, writing into a buffer of the size ours hands on at a time.
bool zlibInPushes(const Object& o, Bytes& buffer) {
    z_stream s{};
    if (inflateInit(&s) != Z_OK) return false;
    int rc = Z_OK;
    for (std::size_t from = 0; from < o.packed.size() && rc == Z_OK; from += kPushBytes) {
        s.next_in = const_cast<std::uint8_t*>(o.packed.data()) + from;
        s.avail_in = static_cast<uInt>(std::min(kPushBytes, o.packed.size() - from));
        while (rc == Z_OK && s.avail_in > 0) {
            s.next_out = buffer.data();
            s.avail_out = static_cast<uInt>(buffer.size());
            rc = inflate(&s, Z_NO_FLUSH);
        }
    }
    while (rc == Z_OK) {  // what the last push left inside zlib
        s.next_out = buffer.data();
        s.avail_out = static_cast<uInt>(buffer.size());
        rc = inflate(&s, Z_NO_FLUSH);
    }
    inflateEnd(&s);
    return rc == Z_STREAM_END;
}

}  // namespace

using Decode = std::function<bool(const Object&)>;

// Best-of-rounds seconds of each decoder over every object of the corpus, the decoders taking
// turns within each round so that a busy moment of the machine costs them alike. False when a
// decode failed.
bool timeSideBySide(const std::vector<Object>& corpus, const std::vector<Decode>& decoders,
                    std::vector<double>& best) {
    best.assign(decoders.size(), 1e30);
    for (int round = 0; round < kRounds; ++round) {
        for (std::size_t d = 0; d < decoders.size(); ++d) {
            const auto start = std::chrono::steady_clock::now();
            for (const Object& o : corpus) {
                if (!decoders[d](o)) return false;
            }
            best[d] = std::min(best[d], seconds(std::chrono::steady_clock::now() - start));
        }
    }
    return true;
}

int main(int argc, char** argv) {
    std::uint64_t corpusMiB = kDefaultCorpusMiB;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--corpus-mib=", 0) == 0) {
            corpusMiB = std::strtoull(arg.c_str() + 13, nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--corpus-mib=N]\n", argv[0]);
            return 2;
        }
    }
    if (corpusMiB == 0) corpusMiB = 1;
    libdeflate_decompressor* deflate = libdeflate_alloc_decompressor();
    if (!deflate) return 1;

    std::vector<Object> everything;
    const struct {
        Kind kind;
        const char* name;
    } kinds[] = {{Kind::Text, "text"}, {Kind::Binary, "binary"}, {Kind::Compressed, "compressed"}};
    for (const auto& k : kinds) {
        const std::vector<Object> corpus = buildCorpus(k.kind, corpusMiB << 20);
        everything.insert(everything.end(), corpus.begin(), corpus.end());
        std::uint64_t totalBytes = 0, packedBytes = 0, largest = 0;
        for (const Object& o : corpus) {
            totalBytes += o.size;
            packedBytes += o.packed.size();
            largest = std::max(largest, o.size);
        }

        // The decoders must agree before their speed means anything.
        Bytes ours;
        Bytes theirs(largest);
        for (const Object& o : corpus) {
            uLongf size = o.size;
            const bool ok = kd::inflateZlib(o.packed.data(), o.packed.size(), o.size, ours);
            if (!ok || uncompress(theirs.data(), &size, o.packed.data(), o.packed.size()) != Z_OK ||
                size != o.size || std::memcmp(ours.data(), theirs.data(), o.size) != 0) {
                std::fprintf(stderr, "inflate: the decoders disagree on the %s corpus\n", k.name);
                return 1;
            }
        }

        std::vector<double> best;
        const bool ok = timeSideBySide(
            corpus,
            {[&](const Object& o) {
                 return kd::inflateZlib(o.packed.data(), o.packed.size(), o.size, ours);
             },
             [&](const Object& o) {
                 uLongf size = o.size;
                 return uncompress(theirs.data(), &size, o.packed.data(), o.packed.size()) == Z_OK;
             },
             [&](const Object& o) {
                 return libdeflate_zlib_decompress(deflate, o.packed.data(), o.packed.size(),
                                                   theirs.data(), o.size,
                                                   nullptr) == LIBDEFLATE_SUCCESS;
             }},
            best);
        if (!ok) return 1;
        const double oursBest = best[0], zlibBest = best[1], deflateBest = best[2];
        const double mb = static_cast<double>(totalBytes) / 1e6;
        std::printf(
            "inflate %s (packed to %.0f%%): ours %.0f MB/s, zlib %.0f MB/s, libdeflate %.0f "
            "MB/s; time ours/zlib %.2f, ours/libdeflate %.2f\n",
            k.name, 100.0 * static_cast<double>(packedBytes) / static_cast<double>(totalBytes),
            mb / oursBest, mb / zlibBest, mb / deflateBest, oursBest / zlibBest,
            oursBest / deflateBest);
    }
    libdeflate_free_decompressor(deflate);

    std::uint64_t totalBytes = 0;
    for (const Object& o : everything) totalBytes += o.size;
    Bytes window(256 << 10);
    std::vector<double> best;
    if (!timeSideBySide(everything,
                        {oursInPushes, [&](const Object& o) { return zlibInPushes(o, window); }},
                        best)) {
        return 1;
    }
    const double mb = static_cast<double>(totalBytes) / 1e6;
    std::printf(
        "inflate all in 64 KiB pushes: ours %.0f MB/s, zlib %.0f MB/s; time ours/zlib %.2f\n",
        mb / best[0], mb / best[1], best[0] / best[1]);
    return 0;
}
