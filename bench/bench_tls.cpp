// What TLS costs. A release of 2,000 files (at least 512 MiB of mixed content, built here from
// fixed seeds) is served by one nginx on loopback over http and over https (a root and a leaf made
// here with the openssl command, trusted through SSL_CERT_FILE). Each scheme in turn: every object
// fetched through httpGetStream on 8 threads as the engine fetches, then the whole release
// installed by the headless driver in a process of its own. Each runs three times over each
// scheme, alternating, and the fastest run counts (the machine may be busy with other work); the
// https rates are printed beside the http ones.
// Usage: bench_tls [--files=N] [--mib=N]   (default 2000 files, 512 MiB)
//        bench_tls --driver ARGS...        (the driver itself; see tests/update/driver_job.h)
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "bench/engine_corpus.h"
#include "net/http.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/update/driver_job.h"

using namespace kd::bench;

namespace {

constexpr int kConnections = 8;  // as many as the engine opens
constexpr int kRounds = 3;

// Seconds to fetch every object of the release from base, or a negative number on a failure.
double fetchAll(const kd::Manifest& manifest, const std::string& base) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    const auto worker = [&] {
        const kd::BodySink sink = [](const std::uint8_t*, std::size_t, std::string&) {
            return true;
        };
        for (std::size_t i = next++; i < manifest.files.size() && !failed; i = next++) {
            const kd::Entry& entry = manifest.files[i];
            std::string error;
            if (!kd::httpGetStream(kd::joinUrl(base, "objects/" + entry.hash),
                                   entry.packedSize + 1024, sink, {}, nullptr, error)) {
                fprintf(stderr, "tls: %s\n", error.c_str());
                failed = true;
            }
        }
    };
    const auto start = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 1; t < kConnections; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& thread : pool) thread.join();
    return failed ? -1 : secondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--driver") == 0)
        return kd::test::runUpdaterDriver(argc - 1, argv + 1);

    std::uint64_t files = 2000, mib = 512;
    if (!readNumberArguments(argc, argv, {{"--files", &files}, {"--mib", &mib}},
                             "bench_tls [--files=N] [--mib=N]"))
        return 2;

    kd::test::TempDir dir;
    const std::string server = dir / "server";
    const Key key;
    Corpus corpus;
    if (!publishCorpus(corpusSpecs(files, mib << 20), server, key.secret, corpus)) {
        fputs("tls: cannot build the corpus\n", stderr);
        return 1;
    }
    kd::test::TestCa ca(dir / "ca");
    const kd::test::TlsFiles leaf = ca.issue("localhost");
    kd::test::NginxServer nginx(server, "");
    nginx.serveTls(leaf);
    if (leaf.certificate.empty() || !nginx.start()) {
        fprintf(stderr, "tls: no certificate or nginx did not start: %s\n",
                nginx.errorLog().c_str());
        return 1;
    }
    // Read with the first TLS connection, here and in the driver, which inherits it.
    setenv("SSL_CERT_FILE", ca.rootFile().c_str(), 1);
    printf("tls: corpus of %zu files, %.1f MB unpacked, %.1f MB packed\n",
           corpus.manifest.files.size(), corpus.unpacked / kBytesPerMB,
           corpus.packed / kBytesPerMB);

    const std::string urls[] = {nginx.url(), nginx.secureUrl("127.0.0.1")};
    double fetchSeconds[2] = {1e30, 1e30}, installSeconds[2] = {1e30, 1e30};
    for (int round = 0; round < kRounds; ++round) {
        for (int secure = 0; secure < 2; ++secure) {
            const double seconds = fetchAll(corpus.manifest, urls[secure]);
            if (seconds < 0) return 1;
            fetchSeconds[secure] = std::min(fetchSeconds[secure], seconds);
        }
    }
    for (int round = 0; round < kRounds; ++round) {
        for (int secure = 0; secure < 2; ++secure) {
            const std::string folder = dir / "launcher", output = dir / "driver.out";
            sync();  // each install starts without dirty pages from the one before
            const DriverRun run = runDriver(
                {folder, urls[secure], key.publicHex(), "install", "--no-self-update"}, output);
            if (!run.ok ||
                kd::test::readText(output).find("message=Up to date") == std::string::npos) {
                fprintf(stderr, "tls: the driver failed:\n%s\n",
                        kd::test::readText(output).c_str());
                return 1;
            }
            installSeconds[secure] = std::min(installSeconds[secure], run.seconds);
            fs::remove_all(folder);
        }
    }
    const auto report = [](const char* what, double bytes, const double seconds[2]) {
        const double plain = bytes / seconds[0] / kBytesPerMB,
                     secure = bytes / seconds[1] / kBytesPerMB;
        printf("tls: %s over http %.0f MB/s, over https %.0f MB/s, ratio %.2f\n", what, plain,
               secure, secure / plain);
    };
    report("fetch (packed bytes)", corpus.packed, fetchSeconds);
    report("install (unpacked bytes)", corpus.unpacked, installSeconds);
    return 0;
}
