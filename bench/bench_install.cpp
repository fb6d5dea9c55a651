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
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/engine_corpus.h"
#include "release/crypto.h"
#include "release/manifest.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/update/driver_job.h"

namespace {

using namespace kd::bench;

constexpr std::size_t kDefaultFiles = 2000;
constexpr std::uint64_t kDefaultMiB = 512;
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

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--driver") == 0)
        return kd::test::runUpdaterDriver(argc - 1, argv + 1);

    std::uint64_t files = kDefaultFiles, mib = kDefaultMiB;
    if (!readNumberArguments(argc, argv, {{"--files", &files}, {"--mib", &mib}},
                             "bench_install [--files=N] [--mib=N]"))
        return 2;
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
    // The baseline's files stay until the end. Deleted here, they would make the install alone
    // pay for them: ext4 without a journal skips inodes freed within the last minute or more when
    // it allocates, looking each one up, while the other creators in the folder wait.
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
    // Against the cores there are, this says whether one of them idled while the other worked;
    // nginx, in its own processes, takes part of what is left.
    printf("install: driver peak resident memory %.1f MB, busy %.2f of %u cores\n",
           run.peakKiB * 1024.0 / kBytesPerMB, run.processorSeconds / run.seconds,
           std::thread::hardware_concurrency());
    return 0;
}
