// Hashing speed per core: hashFile of one large file against coreutils' `b2sum -l 256` of the
// same file, in turns, in one run. The file is written first, so both read it from the page
// cache; the best of the rounds counts for each. Prints both speeds and the ratio of the times
// (ours / b2sum; at most 1 means we are not slower).
// Usage: bench_hash [--mib=N] [--rounds=N]   (default 1024 MiB, 3 rounds)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "release/crypto.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

// Content that no stage can shortcut: a xorshift stream.
bool writeFile(const std::string& path, std::uint64_t bytes) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    std::vector<std::uint64_t> piece(1 << 17);
    std::uint64_t x = 0x9e3779b97f4a7c15;
    for (std::uint64_t written = 0; written < bytes;) {
        for (auto& word : piece) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            word = x;
        }
        const std::size_t n = std::min<std::uint64_t>(bytes - written, piece.size() * 8);
        if (std::fwrite(piece.data(), 1, n, out) != n) break;
        written += n;
    }
    return std::fclose(out) == 0;
}

// b2sum's digest of the file, or empty when it could not be run.
std::string b2sum(const std::string& path) {
    const std::string command = "b2sum -l 256 '" + path + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return {};
    char digest[65] = {};
    const std::size_t got = std::fread(digest, 1, 64, pipe);
    ::pclose(pipe);
    return got == 64 ? std::string(digest, 64) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = 1024;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--mib=", 6) == 0) {
            mib = std::strtoull(argv[i] + 6, nullptr, 10);
        } else if (std::strncmp(argv[i], "--rounds=", 9) == 0) {
            rounds = std::atoi(argv[i] + 9);
        } else {
            std::fprintf(stderr, "usage: %s [--mib=N] [--rounds=N]\n", argv[0]);
            return 2;
        }
    }
    kd::test::TempDir dir;
    const std::string file = dir / "big.bin";
    if (!writeFile(file, mib << 20)) {
        std::fprintf(stderr, "hash: cannot write %s\n", file.c_str());
        return 1;
    }
    double ours = 1e30, theirs = 1e30;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        const std::string digest = kd::hashFile(file);
        ours = std::min(ours, std::chrono::duration<double>(Clock::now() - start).count());
        start = Clock::now();
        const std::string reference = b2sum(file);
        theirs = std::min(theirs, std::chrono::duration<double>(Clock::now() - start).count());
        // The speeds mean nothing unless both computed the same digest.
        if (digest.empty() || digest != reference) {
            std::fprintf(stderr, "hash: ours %s, b2sum %s\n", digest.c_str(), reference.c_str());
            return 1;
        }
    }
    const double bytes = static_cast<double>(mib << 20);
    std::printf("hash: %llu MiB: ours %.0f MB/s, b2sum -l 256 %.0f MB/s, time ours/b2sum %.2f\n",
                static_cast<unsigned long long>(mib), bytes / ours / 1e6, bytes / theirs / 1e6,
                ours / theirs);
    return 0;
}
