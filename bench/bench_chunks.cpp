// Updates of one big file in content-defined chunks, end to end: the real release tool publishes a
// game with a big file of incompressible bytes into a server folder, nginx serves it on loopback
// and the headless driver installs and updates it in a process of its own. Measured, side by side
// in one run: what a 1-byte change and a 1 KiB insertion cost to download, the 1-byte update's
// time against cp of the file on the same disk, a fresh install over a 25 ms relay on one
// connection and on eight, a rerun after a kill at 90% of the download, an unchanged republish,
// and the driver's peak memory.
// Usage: bench_chunks [--mib=N] [--relay-mib=N] [--delay-ms=N]   (default 1024, 128, 25)
//        bench_chunks --driver ARGS...
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>

#include "bench/engine_corpus.h"
#include "release/crypto.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/update/driver_job.h"

using namespace kd::bench;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kChangeLimitBytes = 2 * kMiB;
constexpr std::size_t kInsertLimitChunks = 3;
constexpr double kTimeLimit = 1.5;
constexpr double kSpeedUpLimit = 4.0;
constexpr double kRerunLimit = 0.10;
constexpr long kMemoryLimitKiB = 64 * 1024;

struct Bench {
    kd::test::TempDir dir;
    std::string server = dir / "server", game = dir / "game";
    std::string key = std::string(VEILSTONE_TEST_DATA_DIR) + "/demo-release-key.secret";
    std::string publicHex;
    std::unique_ptr<kd::test::NginxServer> nginx;
    long peakKiB = 0;
    int version = 0;

    bool publish() {
        const std::string command = std::string(VEILSTONE_RELEASE_TOOL) +
                                    " publish --quiet --secret " + key + " --version " +
                                    std::to_string(++version) + " " + game + " " + server;
        return std::system(command.c_str()) == 0;
    }
    // Body bytes nginx sent for objects, and how many object requests, since the log had `from`
    // lines.
    std::pair<std::uint64_t, std::size_t> objectTraffic(std::size_t from) const {
        const std::vector<std::string> log = nginx->accessLog();
        std::uint64_t bytes = 0;
        std::size_t requests = 0;
        for (std::size_t i = from; i < log.size(); ++i) {
            const std::size_t at = log[i].find(" /objects/");
            if (at == std::string::npos) continue;
            bytes += std::strtoull(log[i].c_str() + log[i].find(' ', at + 1) + 1, nullptr, 10);
            ++requests;
        }
        return {bytes, requests};
    }
    DriverRun install(const std::string& launcher, const std::string& url,
                      const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {launcher, url, publicHex, "install", "--no-self-update"};
        args.insert(args.end(), extra.begin(), extra.end());
        const DriverRun run = runDriver(args, dir / "driver.out");
        peakKiB = std::max(peakKiB, run.peakKiB);
        if (!run.ok)
            fprintf(stderr, "chunks: the driver failed:\n%s\n",
                    kd::test::readText(dir / "driver.out").c_str());
        return run;
    }
};

void writeBig(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--driver") == 0)
        return kd::test::runUpdaterDriver(argc - 1, argv + 1);
    std::uint64_t mib = 1024, relayMib = 128, delayMs = 25;
    if (!readNumberArguments(
            argc, argv, {{"--mib", &mib}, {"--relay-mib", &relayMib}, {"--delay-ms", &delayMs}},
            "bench_chunks [--mib=N] [--relay-mib=N] [--delay-ms=N]"))
        return 2;
    Bench b;
    {
        FILE* pipe =
            popen((std::string(VEILSTONE_RELEASE_TOOL) + " pubkey --secret " + b.key).c_str(), "r");
        char hex[80] = {};
        if (pipe == nullptr || fgets(hex, sizeof hex, pipe) == nullptr) return 1;
        pclose(pipe);
        b.publicHex.assign(hex, 64);
    }
    fs::create_directories(b.game);
    kd::test::writeText(b.game + "/veilstone", "#!/bin/sh\n");
    Bytes big(mib * kMiB);
    fillNoise(big, 7);
    const std::string bigPath = b.game + "/big.pak";
    writeBig(bigPath, big);
    auto start = Clock::now();
    if (!b.publish()) return 1;
    const double firstPublish = secondsSince(start);
    b.nginx = std::make_unique<kd::test::NginxServer>(b.server, "");
    if (!b.nginx->start()) return 1;
    const std::string url = b.nginx->url(), launcher = b.dir / "launcher";

    // Unchanged republish: nothing read again, nothing written.
    const auto objectCount = [&] {
        return std::distance(fs::directory_iterator(b.server + "/objects"),
                             fs::directory_iterator());
    };
    const auto objectsBefore = objectCount();
    start = Clock::now();
    if (!b.publish()) return 1;
    const double republish = secondsSince(start);
    const auto newObjects = objectCount() - objectsBefore;

    // A kill at 90% of a fresh install's download, then a rerun.
    std::size_t logAt = b.nginx->accessLog().size();
    double rerunShare = 1.0, missingShare = 1.0;
    {
        fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string self = "/proc/self/exe";
            execl(self.c_str(), self.c_str(), "--driver", launcher.c_str(), url.c_str(),
                  b.publicHex.c_str(), "install", "--no-self-update", (char*)nullptr);
            _exit(127);
        }
        // At 90% of what the engine has written, not of what nginx has sent: much of that may
        // still sit in the socket buffers. The file being built is sparse until written.
        const auto written = [&] {
            std::uint64_t bytes = 0;
            std::error_code ec;
            for (const auto& item : fs::directory_iterator(launcher + "/.staging", ec)) {
                struct stat st {};
                if (item.path().extension() == ".part" && ::stat(item.path().c_str(), &st) == 0)
                    bytes = std::max(bytes, std::uint64_t(st.st_blocks) * 512);
            }
            return bytes;
        };
        while (written() < big.size() / 10 * 9)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        missingShare = 1.0 - double(written()) / double(big.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nginx logs cut requests
        logAt = b.nginx->accessLog().size();
        if (!b.install(launcher, url).ok) return 1;
        rerunShare = double(b.objectTraffic(logAt).first) / double(big.size());
    }

    // One byte changed in the middle: downloads, and time against cp of the same file.
    big[big.size() / 2] ^= 0x5a;
    writeBig(bigPath, big);
    if (!b.publish()) return 1;
    // On a virtual machine the first touch of memory the guest has not used yet costs a fault in
    // the host: here cp of 1 GiB took 1.2-2.6 s into such memory, 0.33 s into pages just freed.
    // Both runs get pages just freed: cp those of a scratch file as big, the update cp's.
    writeBig(b.dir / "scratch.pak", big);
    fs::remove(b.dir / "scratch.pak");
    start = Clock::now();
    if (std::system(("cp " + bigPath + " " + b.dir / "copy.pak").c_str()) != 0) return 1;
    const double copySeconds = secondsSince(start);
    // What the update must do besides: have the file on the disk before it records the release.
    start = Clock::now();
    if (std::system(("sync " + b.dir / "copy.pak").c_str()) != 0) return 1;
    const double syncSeconds = secondsSince(start);
    fs::remove(b.dir / "copy.pak");
    // And what it checks: once, the whole file's hash alone, on one core.
    start = Clock::now();
    if (kd::hashFile(bigPath).empty()) return 1;
    const double hashSeconds = secondsSince(start);
    logAt = b.nginx->accessLog().size();
    const DriverRun changed = b.install(launcher, url);
    if (!changed.ok) return 1;
    const std::uint64_t changeBytes = b.objectTraffic(logAt).first;

    // 1 KiB inserted in the middle: only the chunks around it move.
    Bytes inserted(1024);
    fillNoise(inserted, 8);
    big.insert(big.begin() + std::ptrdiff_t(big.size() / 2), inserted.begin(), inserted.end());
    writeBig(bigPath, big);
    if (!b.publish()) return 1;
    logAt = b.nginx->accessLog().size();
    if (!b.install(launcher, url).ok) return 1;
    // Requests for objects: the new chunk list and the chunks.
    const std::size_t insertChunks = b.objectTraffic(logAt).second - 1;

    // A fresh install of a smaller big file over a far link: one connection against eight.
    fs::remove_all(b.game);
    fs::create_directories(b.game);
    kd::test::writeText(b.game + "/veilstone", "#!/bin/sh\n");
    Bytes far(relayMib * kMiB);
    fillNoise(far, 9);
    writeBig(b.game + "/far.pak", far);
    if (!b.publish()) return 1;
    const std::uint16_t nginxPort = std::uint16_t(std::atoi(url.c_str() + 17));
    DelayRelay relay(nginxPort, int(delayMs));
    const std::string farUrl = "http://127.0.0.1:" + std::to_string(relay.port()) + "/";
    const DriverRun one = b.install(b.dir / "far1", farUrl, {"--connections", "1"});
    const DriverRun eight = b.install(b.dir / "far8", farUrl);
    if (!one.ok || !eight.ok) return 1;

    printf(
        "chunks: %llu MiB file published in %.1f s; unchanged republish %.2f s, %ld new objects\n",
        (unsigned long long)mib, firstPublish, republish, long(newObjects));
    printf(
        "chunks: rerun after a kill at 90%%: %.2f%% of the file downloaded again (limit %.0f%%), "
        "%.2f%% had not arrived\n",
        100 * rerunShare, 100 * kRerunLimit, 100 * missingShare);
    printf("chunks: 1 byte changed: %.2f MiB of objects downloaded (limit %.0f MiB)\n",
           double(changeBytes) / kMiB, double(kChangeLimitBytes) / kMiB);
    printf(
        "chunks: 1 byte changed: update %.2f s, cp %.2f s, ratio %.2f (limit %.1f); "
        "cp and sync %.2f s, ratio %.2f; the file's hash alone %.2f s\n",
        changed.seconds, copySeconds, changed.seconds / copySeconds, kTimeLimit,
        copySeconds + syncSeconds, changed.seconds / (copySeconds + syncSeconds), hashSeconds);
    printf("chunks: 1 KiB inserted: %zu chunks downloaded (limit %zu)\n", insertChunks,
           kInsertLimitChunks);
    printf(
        "chunks: %llu MiB over %llu ms each way: 1 connection %.1f s, 8 connections %.1f s, "
        "%.1fx faster (limit %.0fx)\n",
        (unsigned long long)relayMib, (unsigned long long)delayMs, one.seconds, eight.seconds,
        one.seconds / eight.seconds, kSpeedUpLimit);
    printf("chunks: driver peak resident memory %.1f MB (limit %ld MiB)\n", b.peakKiB / 1024.0,
           kMemoryLimitKiB / 1024);
    return 0;
}
