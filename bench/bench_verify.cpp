// A deep verify of an installed game against b2sum over the same files, side by side in one run.
// The 2,000-file release of bench install (at least 512 MiB) is installed by the headless driver;
// then, in turns, the driver verifies it (a job that hashes every file, on every core) and
// `b2sum -l 256` hashes the same files on one core. Each is run five times; the fastest counts.
// Usage: bench_verify [--files=N] [--mib=N]   (default 2000 files, 512 MiB)
//        bench_verify --driver ARGS...
#include <cstdlib>

#include "bench/engine_corpus.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/update/driver_job.h"

using namespace kd::bench;

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--driver") == 0)
        return kd::test::runUpdaterDriver(argc - 1, argv + 1);
    std::uint64_t files = 2000, mib = 512;
    if (!readNumberArguments(argc, argv, {{"--files", &files}, {"--mib", &mib}},
                             "bench_verify [--files=N] [--mib=N]"))
        return 2;
    if (sodium_init() < 0) return 1;
    kd::test::TempDir dir;
    const std::string server = dir / "server", launcher = dir / "launcher";
    const Key key;
    Corpus corpus;
    if (!publishCorpus(corpusSpecs(files, mib << 20), server, key.secret, corpus)) return 1;
    kd::test::NginxServer nginx(server, "");
    if (!nginx.start()) return 1;
    const std::vector<std::string> job = {launcher, nginx.url(), key.publicHex(), "install",
                                          "--no-self-update"};
    if (!runDriver(job, dir / "driver.out").ok) return 1;

    // b2sum reads the file names from a list, so the command line stays short.
    std::string list;
    for (const kd::Entry& entry : corpus.manifest.files)
        list += launcher + "/game/" + entry.path + '\n';
    kd::test::writeText(dir / "files", list);
    const std::string b2sum =
        "xargs -d '\\n' b2sum -l 256 <" + dir / "files" + " >" + dir / "b2sum.out";
    std::vector<std::string> verify = job;
    verify[3] = "verify";
    double ours = 1e9, theirs = 1e9;
    for (int round = 0; round < 5; ++round) {
        const DriverRun run = runDriver(verify, dir / "driver.out");
        if (!run.ok ||
            kd::test::readText(dir / "driver.out").find("Files verified") == std::string::npos)
            return 1;
        ours = std::min(ours, run.seconds);
        const auto start = Clock::now();
        if (std::system(b2sum.c_str()) != 0) return 1;
        theirs = std::min(theirs, secondsSince(start));
    }
    printf(
        "verify: %zu files, %.1f MB: deep verify %.2f s, b2sum -l 256 %.2f s, ratio %.2f "
        "(limit 0.60)\n",
        corpus.manifest.files.size(), corpus.unpacked / kBytesPerMB, ours, theirs, ours / theirs);
    return 0;
}
