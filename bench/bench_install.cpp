// Install speed of the update engine end to end. A release of 2,000 files (at least 512 MiB of
// mixed content, built here from fixed seeds) is published into a temporary server folder, served
// by nginx on loopback and installed into an empty folder by the headless driver, in a process of
// its own. The baseline does the same work without the launcher, in this process: read each object
// file, zlib uncompress, BLAKE2b-256 with libsodium, write the file.
// Usage: bench_install [--files=N] [--mib=N]   (default 2000 files, 512 MiB)
//        bench_install --driver ARGS...        (the driver itself; see tests/update/driver_job.h)
#include <sodium.h>
#include <sys/resource.h>
#include <sys/wait.h>
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

#include "release/crypto.h"
#include "release/manifest.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/update/driver_job.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kDefaultFiles = 2000;
constexpr std::uint64_t kDefaultMiB = 512;
constexpr std::size_t kLargeFiles = 10;  // top the corpus up to its size
constexpr double kMinSmallBytes = 1024;
constexpr double kMaxSmallBytes = 1 << 20;
// Unpacking speed hardly depends on the level; the release tool's 9 would only make the corpus
// slower to build.
constexpr int kPackLevel = 6;
constexpr double kBytesPerMB = 1e6;
constexpr std::uint8_t kSeedByte = 0x5e;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Already-compressed assets: no redundancy at all.
void fillNoise(Bytes& out, std::uint64_t seed) {
    for (std::size_t i = 0; i < out.size(); i += 8) {
        const std::uint64_t v = splitmix(seed);
        std::memcpy(out.data() + i, &v, std::min<std::size_t>(8, out.size() - i));
    }
}

// Scripts, configuration and localisation text.
void fillText(Bytes& out, std::uint64_t seed) {
    static const char* const kWords[] = {"the ",    "stone ",  "veil ",   "player ", "return ",
                                         "if ",     "level ",  "quest ",  "spawn ",  "local ",
                                         "shader ", "= ",      "{\n",     "}\n",     "0, ",
                                         "enemy ",  "health ", "volume ", "true\n",  "-- "};
    std::size_t at = 0;
    while (at < out.size()) {
        const char* word = kWords[splitmix(seed) % std::size(kWords)];
        const std::size_t length = std::min(std::strlen(word), out.size() - at);
        std::memcpy(out.data() + at, word, length);
        at += length;
    }
}

// Meshes and tables: records whose fields drift a little from one to the next.
void fillRecords(Bytes& out, std::uint64_t seed) {
    float position[3] = {0, 0, 0};
    std::uint32_t counter = 0;
    for (std::size_t at = 0; at < out.size(); at += 16) {
        std::uint8_t record[16];
        for (float& p : position) p += float(splitmix(seed) % 1000) / 1000.0f - 0.5f;
        std::memcpy(record, position, 12);
        std::memcpy(record + 12, &counter, 4);
        ++counter;
        std::memcpy(out.data() + at, record, std::min<std::size_t>(16, out.size() - at));
    }
}

// Sparse maps: long runs of one value with scattered changes.
void fillSparse(Bytes& out, std::uint64_t seed) {
    std::uint8_t value = 0;
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t run = 1 + splitmix(seed) % 4096;
        std::memset(out.data() + at, value, std::min(run, out.size() - at));
        at += run;
        value = static_cast<std::uint8_t>(splitmix(seed));
    }
}

struct FileSpec {
    std::string path;
    std::size_t size;
    int kind;
};

std::vector<FileSpec> corpusSpecs(std::size_t files, std::uint64_t totalBytes) {
    std::vector<FileSpec> specs;
    std::uint64_t seed = 42, sum = 0;
    const std::size_t small = files > kLargeFiles ? files - kLargeFiles : 0;
    for (std::size_t i = 0; i < small; ++i) {
        const double u = double(splitmix(seed) >> 11) / double(1ull << 53);
        const auto size =
            static_cast<std::size_t>(kMinSmallBytes * std::pow(kMaxSmallBytes / kMinSmallBytes, u));
        char path[64];
        snprintf(path, sizeof path, "data/%02zu/asset-%04zu.bin", i % 16, i);
        specs.push_back({path, size, int(i % 4)});
        sum += size;
    }
    const std::uint64_t rest = totalBytes > sum ? totalBytes - sum : 0;
    for (std::size_t i = small; i < files; ++i) {
        char path[64];
        snprintf(path, sizeof path, "packs/pack-%02zu.dat", i - small);
        specs.push_back({path, std::max<std::size_t>(rest / kLargeFiles + 1, 65536), int(i % 4)});
    }
    return specs;
}

struct Corpus {
    kd::Manifest manifest;
    std::uint64_t unpacked = 0;
    std::uint64_t packed = 0;
};

bool publishCorpus(const std::vector<FileSpec>& specs, const std::string& server,
                   const std::uint8_t secret[kd::kSecretKeyBytes], Corpus& corpus) {
    fs::create_directories(server + "/objects");
    std::vector<kd::Entry> entries(specs.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto worker = [&] {
        Bytes content, packed;
        for (std::size_t i = next++; i < specs.size() && !failed; i = next++) {
            content.resize(specs[i].size);
            void (*fill[])(Bytes&, std::uint64_t) = {fillNoise, fillText, fillRecords, fillSparse};
            fill[specs[i].kind](content, 1000 + i);
            uLongf length = compressBound(content.size());
            packed.resize(length);
            if (compress2(packed.data(), &length, content.data(), content.size(), kPackLevel) !=
                Z_OK) {
                failed = true;
                break;
            }
            kd::Entry& entry = entries[i];
            entry.hash = kd::hashBuffer(content.data(), content.size());
            entry.size = content.size();
            entry.packedSize = length;
            entry.path = specs[i].path;
            std::ofstream(server + "/objects/" + entry.hash, std::ios::binary)
                .write(reinterpret_cast<const char*>(packed.data()), std::streamsize(length));
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < std::max(1u, std::thread::hardware_concurrency()); ++t)
        pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
    if (failed) return false;

    std::sort(entries.begin(), entries.end(),
              [](const kd::Entry& a, const kd::Entry& b) { return a.path < b.path; });
    corpus.manifest.platform = "linux64";
    corpus.manifest.version = "bench";
    for (const kd::Entry& entry : entries) {
        corpus.unpacked += entry.size;
        corpus.packed += entry.packedSize;
    }
    corpus.manifest.files = std::move(entries);
    std::ofstream(server + "/manifest-linux64.txt", std::ios::binary)
        << kd::signText(kd::writeManifest(corpus.manifest), secret);
    return true;
}

// The same work as an install without the launcher: object file, uncompress, hash, write.
bool baselineInstall(const kd::Manifest& manifest, const std::string& server,
                     const std::string& target) {
    Bytes packed, content;
    for (const kd::Entry& entry : manifest.files) {
        FILE* in = fopen((server + "/objects/" + entry.hash).c_str(), "rb");
        if (!in) return false;
        packed.resize(entry.packedSize);
        const bool read = fread(packed.data(), 1, packed.size(), in) == packed.size();
        fclose(in);
        content.resize(entry.size);
        uLongf length = content.size();
        if (!read || uncompress(content.data(), &length, packed.data(), packed.size()) != Z_OK ||
            length != entry.size)
            return false;
        std::uint8_t digest[kd::kDigestBytes];
        crypto_generichash(digest, sizeof digest, content.data(), content.size(), nullptr, 0);
        if (kd::hexEncode(digest, sizeof digest) != entry.hash) return false;
        const fs::path file = fs::path(target) / entry.path;
        fs::create_directories(file.parent_path());
        FILE* out = fopen(file.c_str(), "wb");
        if (!out) return false;
        const bool written = fwrite(content.data(), 1, content.size(), out) == content.size();
        if (fclose(out) != 0 || !written) return false;
    }
    return true;
}

struct DriverRun {
    bool ok = false;
    double seconds = 0;
    long peakKiB = 0;
};

DriverRun runDriver(const std::vector<std::string>& args, const std::string& outputPath) {
    std::vector<std::string> argv = {"/proc/self/exe", "--driver"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    DriverRun run;
    fflush(stdout);  // the child must not print this process's pending lines again
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(outputPath.c_str(), "w", stdout)) _exit(126);
        dup2(fileno(stdout), 2);
        execv(pointers[0], pointers.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return run;
    run.seconds = secondsSince(start);
    run.peakKiB = usage.ru_maxrss;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--driver") == 0)
        return kd::test::runUpdaterDriver(argc - 1, argv + 1);

    std::size_t files = kDefaultFiles;
    std::uint64_t mib = kDefaultMiB;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--files=", 8) == 0)
            files = std::strtoul(argv[i] + 8, nullptr, 10);
        else if (std::strncmp(argv[i], "--mib=", 6) == 0)
            mib = std::strtoull(argv[i] + 6, nullptr, 10);
        else {
            fputs("usage: bench_install [--files=N] [--mib=N]\n", stderr);
            return 2;
        }
    }
    if (sodium_init() < 0) return 1;

    kd::test::TempDir dir;
    const std::string server = dir / "server";
    std::uint8_t seed[kd::kSeedBytes], secret[kd::kSecretKeyBytes], publicKey[kd::kPublicKeyBytes];
    std::memset(seed, kSeedByte, sizeof seed);
    kd::keyPairFromSeed(seed, secret, publicKey);

    const auto built = Clock::now();
    Corpus corpus;
    if (!publishCorpus(corpusSpecs(files, mib << 20), server, secret, corpus)) {
        fputs("install: cannot build the corpus\n", stderr);
        return 1;
    }
    printf("install: corpus of %zu files, %.1f MB unpacked, %.1f MB packed, built in %.1f s\n",
           corpus.manifest.files.size(), corpus.unpacked / kBytesPerMB, corpus.packed / kBytesPerMB,
           secondsSince(built));

    kd::test::NginxServer nginx(server, "");
    if (!nginx.start()) {
        fprintf(stderr, "install: nginx did not start: %s\n", nginx.errorLog().c_str());
        return 1;
    }

    // Each measurement starts without dirty pages from the one before.
    sync();
    const auto baselineStart = Clock::now();
    if (!baselineInstall(corpus.manifest, server, dir / "baseline")) {
        fputs("install: the baseline failed\n", stderr);
        return 1;
    }
    const double baselineSeconds = secondsSince(baselineStart);
    fs::remove_all(dir / "baseline");
    sync();

    const std::string output = dir / "driver.out";
    const DriverRun run =
        runDriver({dir / "launcher", nginx.url(), kd::hexEncode(publicKey, sizeof publicKey),
                   "install", "--no-self-update"},
                  output);
    if (!run.ok || kd::test::readText(output).find("message=Up to date") == std::string::npos) {
        fprintf(stderr, "install: the driver failed:\n%s\n", kd::test::readText(output).c_str());
        return 1;
    }
    const double installRate = corpus.unpacked / run.seconds / kBytesPerMB;
    const double baselineRate = corpus.unpacked / baselineSeconds / kBytesPerMB;
    printf("install: %.0f MB/s (unpacked bytes per second), baseline %.0f MB/s, ratio %.2f\n",
           installRate, baselineRate, installRate / baselineRate);
    printf("install: driver peak resident memory %.1f MB\n", run.peakKiB * 1024.0 / kBytesPerMB);
    return 0;
}
