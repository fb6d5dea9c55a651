// Publishing speed of veilstone-release. A game folder (2,000 files, at least 256 MiB by default:
// text-like data, already-compressed data and sparse binaries, from fixed seeds) is published into
// an empty server folder by the real tool. The baseline does the compression the tool does at its
// core, the way gzip -9 would: zlib level 9 of every file's bytes, on as many threads as the tool
// packs with. Then the same, unchanged folder is published again (nothing may be packed twice,
// and no content read), against the floor of that: one stat of every game file and every object.
// With --big-mib=N, a release of one file of N MiB of incompressible bytes too, published whole
// and in chunks: the server folder against the file's whole object alone (what a publish without
// chunks stores), the time against today's work for one file without chunks (a hash read, then a
// zlib level 9 read), and an unchanged republish.
// Usage: bench_publish [--files=N] [--mib=N] [--big-mib=N]
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kDefaultFiles = 2000;
constexpr std::uint64_t kDefaultMiB = 256;
constexpr int kGzipBestLevel = 9;
constexpr double kBytesPerMB = 1e6;
constexpr unsigned kMaxThreads = 8;  // the tool packs on at most this many

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

// One of three kinds by index: words from a small vocabulary (scripts, configs, text), bytes
// with no redundancy (textures, audio), or mostly zeros with scattered values (tables, meshes).
std::string content(std::size_t index, std::size_t size) {
    static const char* const words[] = {"stone", "veil",  "the ", "level", "= ",   "0.5", "\n",
                                        "spawn", "light", "{",    "}",     "mesh", "id ", "42"};
    Random random{0x9e3779b97f4a7c15ull * (index + 1)};
    std::string out;
    out.reserve(size + 8);
    if (index % 3 == 0) {
        while (out.size() < size) out += words[random.next() % std::size(words)];
    } else if (index % 3 == 1) {
        while (out.size() < size) {
            std::uint64_t bits = random.next();
            out.append(reinterpret_cast<const char*>(&bits), sizeof bits);
        }
    } else {
        out.assign(size, '\0');
        for (std::size_t at = 0; at < size; at += 1 + random.next() % 64)
            out[at] = static_cast<char>(random.next());
    }
    out.resize(size);
    return out;
}

// File sizes spread from a few bytes to a few MiB, scaled so that they add up to the total.
std::vector<std::size_t> fileSizes(std::size_t files, std::uint64_t totalBytes) {
    Random random{12345};
    std::vector<double> weights(files);
    double sum = 0;
    for (double& weight : weights) sum += weight = std::pow(2.0, double(random.next() % 200) / 10);
    std::vector<std::size_t> sizes;
    for (double weight : weights)
        sizes.push_back(std::size_t(double(totalBytes) * weight / sum) + 1);
    return sizes;
}

bool option(const char* arg, const char* name, std::uint64_t& value) {
    std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0) return false;
    value = std::strtoull(arg + length, nullptr, 10);
    return true;
}

std::string quote(const std::string& text) { return "'" + text + "'"; }

struct Run {
    double seconds = 0;
    std::string output;
    bool ok = false;
};

Run publish(const std::string& game, const std::string& server, const std::string& log) {
    std::string command = quote(VEILSTONE_RELEASE_TOOL) + " publish --secret " +
                          quote(std::string(VEILSTONE_TEST_DATA_DIR) + "/demo-release-key.secret") +
                          " --version 1 " + quote(game) + " " + quote(server) + " >" + quote(log) +
                          " 2>&1 </dev/null";
    Run run;
    auto start = Clock::now();
    run.ok = std::system(command.c_str()) == 0;
    run.seconds = secondsSince(start);
    std::ifstream in(log);
    std::getline(in, run.output);
    return run;
}

std::uint64_t folderBytes(const fs::path& folder) {
    std::uint64_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
}

// What an unchanged republish cannot avoid: a look at every game file and every object.
double statEverySeconds(const fs::path& game, const fs::path& objects) {
    auto start = Clock::now();
    std::size_t seen = 0;
    for (const fs::path& folder : {game, objects})
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            struct stat info {};
            seen += ::stat(entry.path().c_str(), &info) == 0;
        }
    return seen > 0 ? secondsSince(start) : 0;
}

// Today's work for one file published whole: the tool's own hash read, then a read through zlib
// level 9 (the tool hashes in that read too, so this is a little under it).
double wholeObjectSeconds(const std::string& file) {
    auto start = Clock::now();
    const std::string hash = quote(VEILSTONE_RELEASE_TOOL) + " hash " + quote(file) + " >/dev/null";
    if (std::system(hash.c_str()) != 0) return 0;
    std::ifstream in(file, std::ios::binary);
    std::vector<char> raw(1 << 20), out(1 << 20);
    z_stream stream{};
    deflateInit(&stream, kGzipBestLevel);
    int flush = Z_NO_FLUSH;
    while (flush != Z_FINISH) {
        in.read(raw.data(), std::streamsize(raw.size()));
        flush = in ? Z_NO_FLUSH : Z_FINISH;
        stream.next_in = reinterpret_cast<Bytef*>(raw.data());
        stream.avail_in = unsigned(in.gcount());
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = unsigned(out.size());
            deflate(&stream, flush);
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return secondsSince(start);
}

// The packed size on the first "file" line of a signed manifest.
std::uint64_t firstPackedSize(const std::string& manifest) {
    std::ifstream in(manifest);
    std::string word, hash;
    std::uint64_t size = 0, packed = 0;
    while (in >> word)
        if (word == "file" && in >> hash >> size >> packed) return packed;
    return 0;
}

bool benchBigFile(const fs::path& dir, std::uint64_t mib) {
    const fs::path game = dir / "big-game", server = dir / "big-server", file = game / "data.pak";
    fs::create_directories(game);
    {
        std::ofstream out(file, std::ios::binary);
        Random random{777};
        std::vector<std::uint64_t> piece((1 << 20) / sizeof(std::uint64_t));
        for (std::uint64_t i = 0; i < mib; ++i) {
            for (std::uint64_t& word : piece) word = random.next();
            out.write(reinterpret_cast<const char*>(piece.data()), 1 << 20);
        }
    }
    ::sync();
    const double today = wholeObjectSeconds(file);
    Run first = publish(game, server, dir / "big-log");
    Run again = publish(game, server, dir / "big-log");
    if (!first.ok || !again.ok || today == 0) {
        fprintf(stderr, "publish: the big file failed: %s\n", again.output.c_str());
        return false;
    }
    const double stored = double(folderBytes(server / "objects"));
    const double whole = double(firstPackedSize(server / "manifest-linux64.txt"));
    printf(
        "publish big: one file of %llu MiB: server folder %.1f MB, its whole object alone %.1f MB, "
        "size ratio %.3f; publish %.1f s, today's work without chunks %.1f s, time ratio %.2f; "
        "unchanged again %.3f s: %s\n",
        (unsigned long long)mib, stored / kBytesPerMB, whole / kBytesPerMB, stored / whole,
        first.seconds, today, first.seconds / today, again.seconds, again.output.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t files = kDefaultFiles, mib = kDefaultMiB, bigMib = 0;
    for (int i = 1; i < argc; ++i) {
        if (!option(argv[i], "--files=", files) && !option(argv[i], "--mib=", mib) &&
            !option(argv[i], "--big-mib=", bigMib)) {
            fprintf(stderr, "usage: bench_publish [--files=N] [--mib=N] [--big-mib=N]\n");
            return 2;
        }
    }
    kd::test::TempDir dir;
    const std::string game = dir / "game", server = dir / "server";
    const std::vector<std::size_t> sizes = fileSizes(files, mib << 20);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        fs::path path =
            fs::path(game) / ("data/" + std::to_string(i % 20)) / ("file-" + std::to_string(i));
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content(i, sizes[i]);
        total += sizes[i];
    }
    // A publisher's game folder is on the disk long before it is published: the flush the tool
    // makes of its new objects must not also pay for writing the folder.
    ::sync();
    const unsigned threads =
        std::max(1u, std::min(std::thread::hardware_concurrency(), kMaxThreads));
    printf("publish: %zu files, %.1f MB, %u threads\n", sizes.size(), double(total) / kBytesPerMB,
           threads);

    Run first = publish(game, server, dir / "log");
    if (!first.ok) {
        fprintf(stderr, "publish: the release tool failed: %s\n", first.output.c_str());
        return 1;
    }
    const std::uint64_t packed = folderBytes(fs::path(server) / "objects");

    // The same bytes through zlib level 9, one file at a time on each thread, read from disk.
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> baselinePacked{0};
    auto worker = [&] {
        std::string raw, out;
        for (std::size_t i = next++; i < sizes.size(); i = next++) {
            fs::path path =
                fs::path(game) / ("data/" + std::to_string(i % 20)) / ("file-" + std::to_string(i));
            std::ifstream in(path, std::ios::binary);
            raw.resize(sizes[i]);
            in.read(raw.data(), std::streamsize(raw.size()));
            uLongf length = compressBound(raw.size());
            out.resize(length);
            compress2(reinterpret_cast<Bytef*>(out.data()), &length,
                      reinterpret_cast<const Bytef*>(raw.data()), raw.size(), kGzipBestLevel);
            baselinePacked += length;
        }
    };
    auto start = Clock::now();
    std::vector<std::thread> pool;
    for (unsigned i = 0; i < threads; ++i) pool.emplace_back(worker);
    for (std::thread& thread : pool) thread.join();
    const double baseline = secondsSince(start);

    Run again = publish(game, server, dir / "log");
    if (!again.ok) {
        fprintf(stderr, "publish: the second publish failed: %s\n", again.output.c_str());
        return 1;
    }
    printf(
        "publish: %.1f s (%.0f MB/s), %.1f MB packed; zlib level 9 %.1f s (%.0f MB/s), %.1f MB "
        "packed; time ratio %.2f, size ratio %.3f\n",
        first.seconds, double(total) / kBytesPerMB / first.seconds, double(packed) / kBytesPerMB,
        baseline, double(total) / kBytesPerMB / baseline, double(baselinePacked) / kBytesPerMB,
        first.seconds / baseline, double(packed) / double(baselinePacked));
    const double floor = statEverySeconds(game, fs::path(server) / "objects");
    printf(
        "publish: unchanged folder again %.2f s (%.0f files/s); a stat of every file and object "
        "%.3f s; time ratio %.1f: %s\n",
        again.seconds, double(sizes.size()) / again.seconds, floor, again.seconds / floor,
        again.output.c_str());
    return bigMib == 0 || benchBigFile(dir.path(), bigMib) ? 0 : 1;
}
