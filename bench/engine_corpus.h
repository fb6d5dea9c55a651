// What the engine's benchmarks share: release corpora of typical content published straight into
// a server folder (objects packed here, the manifest signed with a key made from a fixed seed),
// and the headless driver run as a child process with its time and peak memory measured.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "release/crypto.h"
#include "release/manifest.h"
#include "tests/support/temp_dir.h"

namespace kd::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Unpacking speed hardly depends on the level; the release tool's 9 would only make the corpus
// slower to build.
constexpr int kPackLevel = 6;
constexpr double kBytesPerMB = 1e6;
constexpr std::uint8_t kSeedByte = 0x5e;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Already-compressed assets: no redundancy at all.
inline void fillNoise(Bytes& out, std::uint64_t seed) {
    for (std::size_t i = 0; i < out.size(); i += 8) {
        const std::uint64_t v = splitmix(seed);
        std::memcpy(out.data() + i, &v, std::min<std::size_t>(8, out.size() - i));
    }
}

// Scripts, configuration and localisation text.
inline void fillText(Bytes& out, std::uint64_t seed) {
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
inline void fillRecords(Bytes& out, std::uint64_t seed) {
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
inline void fillSparse(Bytes& out, std::uint64_t seed) {
    std::uint8_t value = 0;
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t run = 1 + splitmix(seed) % 4096;
        std::memset(out.data() + at, value, std::min(run, out.size() - at));
        at += run;
        value = static_cast<std::uint8_t>(splitmix(seed));
    }
}

// Reads arguments of the form NAME=NUMBER into their numbers; anything else prints the usage
// line and gives false.
inline bool readNumberArguments(int argc, char** argv,
                                std::initializer_list<std::pair<const char*, std::uint64_t*>> names,
                                const char* usage) {
    for (int i = 1; i < argc; ++i) {
        bool known = false;
        for (const auto& [name, value] : names) {
            const std::size_t length = std::strlen(name);
            if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
                *value = std::strtoull(argv[i] + length + 1, nullptr, 10);
                known = true;
            }
        }
        if (!known) {
            fprintf(stderr, "usage: %s\n", usage);
            return false;
        }
    }
    return true;
}

struct FileSpec {
    std::string path;
    std::size_t size;
    int kind;
};

constexpr std::size_t kLargeFiles = 10;  // top the corpus up to its size
constexpr double kMinSmallBytes = 1024;
constexpr double kMaxSmallBytes = 1 << 20;

// A game of `files` files: small ones of every kind between 1 KiB and 1 MiB, then ten packs
// that make up the rest of totalBytes.
inline std::vector<FileSpec> corpusSpecs(std::size_t files, std::uint64_t totalBytes) {
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

inline bool publishCorpus(const std::vector<FileSpec>& specs, const std::string& server,
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

struct DriverRun {
    bool ok = false;
    double seconds = 0;
    double processorSeconds = 0;  // user and system time of all its threads
    long peakKiB = 0;
};

inline DriverRun runDriver(const std::vector<std::string>& args, const std::string& outputPath) {
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
    const std::string output = kd::test::readText(outputPath);
    if (const std::size_t at = output.rfind("\npeak "); at != std::string::npos)
        run.peakKiB = std::strtol(output.c_str() + at + 6, nullptr, 10);
    run.processorSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

struct Key {
    std::uint8_t secret[kSecretKeyBytes], publicKey[kPublicKeyBytes];
    Key() {
        std::uint8_t seed[kSeedBytes];
        std::memset(seed, kSeedByte, sizeof seed);
        keyPairFromSeed(seed, secret, publicKey);
    }
    std::string publicHex() const { return hexEncode(publicKey, sizeof publicKey); }
};

// Accepts on a loopback port and joins each client to the target port, copying each direction
// on a thread of its own with a pause before every chunk is passed on.
class DelayRelay {
public:
    DelayRelay(std::uint16_t target, int delayMs) : target_(target), delayMs_(delayMs) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listen_ < 0 || bind(listen_, (sockaddr*)&address, length) != 0 ||
            listen(listen_, 64) != 0 || getsockname(listen_, (sockaddr*)&address, &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        std::thread([this] { acceptLoop(); }).detach();
    }
    std::uint16_t port() const { return port_; }

private:
    void acceptLoop() {
        for (;;) {
            const int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) return;
            const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(target_);
            if (server < 0 || connect(server, (sockaddr*)&address, sizeof address) != 0) {
                close(client);
                if (server >= 0) close(server);
                continue;
            }
            std::thread([this, client, server] { pump(client, server); }).detach();
            std::thread([this, client, server] { pump(server, client); }).detach();
        }
    }
    void pump(int from, int to) {
        char chunk[65536];
        for (;;) {
            const ssize_t got = recv(from, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
            if (send(to, chunk, std::size_t(got), MSG_NOSIGNAL) != got) break;
        }
        shutdown(to, SHUT_WR);
        shutdown(from, SHUT_RD);
    }

    std::uint16_t target_;
    int delayMs_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace kd::bench
