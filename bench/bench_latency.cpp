// Many small files over a slow link: 1,000 files of 4 KiB installed through a relay of our own on
// loopback that holds every chunk 25 ms in each direction (a far server, without netem), and the
// same install straight from nginx. Prints both times and the share of the slow one spent waiting.
// Usage: bench_latency [--files=N] [--delay-ms=N]   (default 1000 files, 25 ms)
//        bench_latency --driver ARGS...
#include <cstdlib>

#include "bench/engine_corpus.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/update/driver_job.h"

using namespace kd::bench;

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--driver") == 0)
        return kd::test::runUpdaterDriver(argc - 1, argv + 1);
    std::size_t files = 1000;
    int delayMs = 25;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--files=", 8) == 0)
            files = std::strtoul(argv[i] + 8, nullptr, 10);
        else if (std::strncmp(argv[i], "--delay-ms=", 11) == 0)
            delayMs = std::atoi(argv[i] + 11);
        else {
            fputs("usage: bench_latency [--files=N] [--delay-ms=N]\n", stderr);
            return 2;
        }
    }
    if (sodium_init() < 0) return 1;
    kd::test::TempDir dir;
    const std::string server = dir / "server";
    const Key key;
    std::vector<FileSpec> specs;
    for (std::size_t i = 0; i < files; ++i)
        specs.push_back({"data/" + std::to_string(10000 + i), 4096, int(i % 4)});
    Corpus corpus;
    if (!publishCorpus(specs, server, key.secret, corpus)) return 1;
    kd::test::NginxServer nginx(server, "");
    if (!nginx.start()) {
        fprintf(stderr, "latency: nginx did not start: %s\n", nginx.errorLog().c_str());
        return 1;
    }
    const std::uint16_t nginxPort = std::uint16_t(std::atoi(nginx.url().c_str() + 17));
    DelayRelay relay(nginxPort, delayMs);
    const std::string far = "http://127.0.0.1:" + std::to_string(relay.port()) + "/";
    double seconds[2] = {};
    const std::string urls[2] = {nginx.url(), far};
    for (int i = 0; i < 2; ++i) {
        const std::string output = dir / ("driver" + std::to_string(i) + ".out");
        const DriverRun run = runDriver({dir / ("launcher" + std::to_string(i)), urls[i],
                                         key.publicHex(), "install", "--no-self-update"},
                                        output);
        if (!run.ok) {
            fprintf(stderr, "latency: the driver failed:\n%s\n",
                    kd::test::readText(output).c_str());
            return 1;
        }
        seconds[i] = run.seconds;
    }
    printf("latency: %zu files of 4 KiB: %.2f s direct, %.2f s with %d ms each way\n", files,
           seconds[0], seconds[1], delayMs);
    printf("latency: share of the slow install spent waiting %.1f%%\n",
           100.0 * (seconds[1] - seconds[0]) / seconds[1]);
    return 0;
}
