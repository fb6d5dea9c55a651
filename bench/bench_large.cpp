// One large file installed end to end: the engine's peak resident memory must not grow with the
// file. A release of one file of the given size (mesh-like records, which pack to about a third)
// is served by nginx on loopback and installed by the headless driver in a process of its own.
// Usage: bench_large [--mib=N]   (default 1024)
//        bench_large --driver ARGS...
#include <cstdlib>

#include "bench/engine_corpus.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/update/driver_job.h"

using namespace kd::bench;

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--driver") == 0)
        return kd::test::runUpdaterDriver(argc - 1, argv + 1);
    std::uint64_t mib = 1024;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--mib=", 6) != 0) {
            fputs("usage: bench_large [--mib=N]\n", stderr);
            return 2;
        }
        mib = std::strtoull(argv[i] + 6, nullptr, 10);
    }
    if (sodium_init() < 0) return 1;
    kd::test::TempDir dir;
    const std::string server = dir / "server";
    const Key key;
    Corpus corpus;
    if (!publishCorpus({{"big.bin", std::size_t(mib << 20), 2}}, server, key.secret, corpus)) {
        fputs("large: cannot build the release\n", stderr);
        return 1;
    }
    kd::test::NginxServer nginx(server, "");
    if (!nginx.start()) {
        fprintf(stderr, "large: nginx did not start: %s\n", nginx.errorLog().c_str());
        return 1;
    }
    const std::string output = dir / "driver.out";
    const DriverRun run = runDriver(
        {dir / "launcher", nginx.url(), key.publicHex(), "install", "--no-self-update"}, output);
    if (!run.ok) {
        fprintf(stderr, "large: the driver failed:\n%s\n", kd::test::readText(output).c_str());
        return 1;
    }
    const double peak = run.peakKiB * 1024.0;
    printf("large: one file of %.1f MB (%.1f MB packed) installed in %.1f s\n",
           corpus.unpacked / kBytesPerMB, corpus.packed / kBytesPerMB, run.seconds);
    printf("large: driver peak resident memory %.1f MB, ratio to the file size %.3f\n",
           peak / kBytesPerMB, peak / double(corpus.unpacked));
    return 0;
}
