// The headless driver as a process of its own, the way a player's launcher runs the engine: killed
// part way through an install and an update, then run again; and with the game folder on another
// file system.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "release/crypto.h"
#include "tests/support/child_process.h"
#include "tests/update/update_fixture.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;

class DriverTest : public UpdateFixture {
protected:
    // Runs `job` until its output shows `when` (or until `reached`, when given), then stops it:
    // meanwhile a second engine on the folder is refused, and every object staged under its final
    // name is whole (files being built and packed bytes kept are not). Then kills it.
    void killAt(const std::string& job, const std::string& when,
                const std::function<bool()>& reached = {}) {
        const std::string out = dir / "killed.out";
        ChildProcess driver({VEILSTONE_UPDATER_DRIVER, launcher, nginx->url(), demoPublicKeyHex(),
                             job, "--no-self-update"},
                            dir.path(), {}, out);
        for (int waited = 0;
             !(reached ? reached() : readText(out).find(when) != std::string::npos) &&
             waited < 300000;
             ++waited)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        driver.kill(SIGSTOP);
        int status = -1;
        const std::string second = runDriver("check --no-self-update", &status);
        const std::string taken = "message=another Veilstone launcher is already using this folder";
        EXPECT_TRUE(status == 1 && second.find(taken) != std::string::npos) << second;
        std::error_code ec;
        for (const auto& item : fs::directory_iterator(launcher + "/.staging", ec))
            if (!item.path().string().ends_with(".part") &&
                !item.path().string().ends_with(".packed"))
                EXPECT_EQ(hashFile(item.path()), item.path().filename()) << when;
        driver.kill(SIGKILL);
        driver.wait(10000);
        EXPECT_TRUE(linesStartingWith(readText(out), "final ").empty()) << "finished too soon";
    }

    // The game folder holds exactly this release (and the engine's record of it), every file
    // whole, and nothing is left staged.
    void expectInstalled(const Manifest& release) {
        std::set<std::string> found, wanted = {".installed"};
        for (const auto& item : fs::recursive_directory_iterator(launcher + "/game"))
            if (!item.is_directory())
                found.insert(fs::relative(item.path(), launcher + "/game").string());
        for (const Entry& entry : release.files) {
            wanted.insert(entry.path);
            EXPECT_EQ(hashFile(game(entry.path)), entry.hash) << entry.path;
        }
        EXPECT_EQ(found, wanted);
        EXPECT_FALSE(fs::exists(launcher + "/.staging"));
    }
};

// Killed while a big file is built from its chunks, an install keeps what it built and the packed
// bytes of the chunks cut off: run again, it fetches only the rest of those and the chunks still
// missing or found damaged, and the file comes out whole. A kept copy found damaged costs its
// chunk whole; a link planted at a copy's name is replaced, never written through.
TEST_F(DriverTest, AKilledChunkedDownloadResumesFromTheFileItWasBuilding) {
    publish({{"veilstone", "#!/bin/sh\n"}, {"big.bin", noise(24 << 20, 5)}}, "A");
    serve("KEY-1", 1 << 20);  // a few seconds, on however many connections
    const Manifest release = serverManifest();
    const std::vector<Chunk> chunks = servedChunks("big.bin");
    // nginx logs a request once its reply is sent: the chunks sent whole, counted just before the
    // stop (later, those the stopped engine never read have reached the socket buffers too).
    std::size_t sent = 0;
    killAt("install", "80% of the chunks", [&] {
        sent = 0;
        for (const std::string& line : nginx->accessLog())
            for (const Chunk& chunk : chunks)
                sent += line.find(" /objects/" + chunk.hash + " " +
                                  std::to_string(chunk.packedSize) + " ") != std::string::npos;
        return sent > chunks.size() * 8 / 10;
    });
    const std::string build =
        launcher + "/.staging/" + findFile(release, "big.bin")->hash + ".part";
    std::string built = readText(build);
    ASSERT_GT(built.size(), 100u);
    built[100] ^= 1;  // the first chunk must be fetched again
    writeText(build, built);
    const std::string staging = launcher + "/.staging/" + findFile(release, "big.bin")->hash;
    std::uint64_t due = 0, at = 0;  // packed bytes of chunks still to come
    std::size_t kept = 0;
    std::string damaged;  // the last copy, spoilt
    std::uint64_t damagedSize = 0, damagedPacked = 0;
    for (std::size_t i = 0; i < chunks.size(); at += chunks[i++].size) {
        if (hashBuffer(built.data() + at, chunks[i].size) == chunks[i].hash) continue;
        const std::string name = staging + "." + std::to_string(i) + ".packed";
        std::string copy = readText(name);
        EXPECT_EQ(copy, readText(server + "/objects/" + chunks[i].hash).substr(0, copy.size()));
        due += chunks[i].packedSize - copy.size();
        if (copy.empty()) continue;
        ++kept;
        damaged = name;
        damagedSize = copy.size();
        damagedPacked = chunks[i].packedSize;
    }
    ASSERT_GT(kept, 0u) << "no chunk was cut off midway";
    std::string spoilt = readText(damaged);
    spoilt[spoilt.size() / 2] ^= 1;
    writeText(damaged, spoilt);
    const std::string victim = dir / "victim", planted = staging + ".0.packed";
    writeText(victim, "not the launcher's");
    if (!fs::exists(planted)) fs::create_symlink(victim, planted);
    const std::size_t before = nginx->accessLog().size();
    runDriver("install --no-self-update");
    const std::vector<std::string> log = nginx->accessLog();
    std::uint64_t fetched = 0;
    std::size_t ranges = 0;
    for (std::size_t i = before; i < log.size(); ++i) {
        std::istringstream words(log[i]);
        std::string status, method, uri;
        std::uint64_t bytes = 0;
        words >> status >> method >> uri >> bytes;
        // A reply cut off by the kill may be logged this late; the run after it cuts none.
        for (const Chunk& chunk : chunks)
            if (uri == "/objects/" + chunk.hash && (status == "206" || bytes == chunk.packedSize))
                fetched += bytes;
        ranges += status == "206";
    }
    // The spoilt copy fails its chunk's hash after the rest came, or inflate before anything was
    // asked; either way its chunk comes whole.
    EXPECT_TRUE(fetched == due + damagedPacked || fetched == due + damagedSize)
        << fetched << " for " << due << " due; " << sent << " of " << chunks.size() << " sent";
    EXPECT_LE(ranges, kept);  // a copy of a whole chunk asks for nothing
    EXPECT_EQ(readText(victim), "not the launcher's");
    expectInstalled(release);
}

// Killed while downloading, an install leaves no game file, and run again it fetches only what is
// missing. Killed at points of an update, the folder may hold two releases mixed: when the first
// is offered again, only a folder that really is that release may be reported current, and the
// next install repairs it.
TEST_F(DriverTest, KilledInstallAndUpdateFinishWithoutCorruptLostOrStrayFiles) {
    Files a = {{"veilstone", "#!/bin/sh\n"}}, b = a;
    for (int i = 0; i < 300; ++i) {
        a["data/" + std::to_string(1000 + i)] = noise(16384, i);
        b["data/" + std::to_string(1000 + i)] = noise(16384, i + 1000);  // same sizes
    }
    publish(a, "A");
    serve();
    const std::string manifestFile = server + "/manifest-linux64.txt";
    const std::string manifestA = readText(manifestFile);
    const Manifest releaseA = serverManifest();

    killAt("install", "Downloading 60 of");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nginx logs the cut request
    std::multiset<std::string> missing, fetched;
    std::uint64_t stagedPacked = 0, totalPacked = 0;
    for (const Entry& entry : releaseA.files) {
        if (fs::exists(launcher + "/.staging/" + entry.hash))
            stagedPacked += entry.packedSize;
        else
            missing.insert(entry.hash);
        totalPacked += entry.packedSize;
        EXPECT_FALSE(fs::exists(game(entry.path))) << entry.path;
    }
    ASSERT_GE(releaseA.files.size() - missing.size(), 50u);
    ASSERT_GT(missing.size(), 0u);
    const std::size_t logBefore = nginx->accessLog().size();
    const std::string resumed = runDriver("install --no-self-update");
    const std::vector<std::string> log = nginx->accessLog();
    for (std::size_t i = logBefore; i < log.size(); ++i)
        if (const std::size_t at = log[i].find(" /objects/"); at != std::string::npos)
            fetched.insert(log[i].substr(at + 10, 64));
    EXPECT_EQ(fetched, missing);
    // The bar counts only what is still to download: what was staged does not start it part way.
    const std::size_t bar = resumed.rfind("status 4 ", resumed.find(" Downloading "));
    ASSERT_NE(bar, std::string::npos) << resumed;
    EXPECT_EQ(std::stod(resumed.substr(bar + 9)), 0.0) << stagedPacked << " of " << totalPacked;
    expectInstalled(releaseA);

    publish(b, "B");
    const std::string manifestB = readText(manifestFile);
    const std::pair<const char*, const char*> points[] = {{"verify", "Verifying files"},
                                                          {"install", "Downloading 150 of"},
                                                          {"install", "Putting files in place"}};
    for (const auto& [job, when] : points) {
        writeText(manifestFile, manifestB);
        killAt(job, when);
        writeText(manifestFile, manifestA);
        fs::remove(launcher + "/.serials");  // as if A were the newest release again
        const bool allA = std::all_of(releaseA.files.begin(), releaseA.files.end(),
                                      [&](auto& e) { return hashFile(game(e.path)) == e.hash; });
        const std::string check = runDriver("check --no-self-update");
        EXPECT_EQ(linesStartingWith(check, "status 1 -1.0000 Up to date").size(), allA ? 1u : 0u)
            << when << "\n"
            << check;
        runDriver("install --no-self-update");
        expectInstalled(releaseA);
    }

    // On a game folder of another file system staged objects cannot be renamed in: they are
    // copied. A disk that fills says so and leaves no part of a copy behind; a copy a kill cut
    // off is removed by the next job; a repair never loses the file it replaces.
    if (runShell("unshare -rm true 2>&1") != "") {
        printf("skipped the tmpfs part: no mount namespace here\n");
        return;
    }
    const std::string driver = shellQuote(VEILSTONE_UPDATER_DRIVER) + " " + shellQuote(launcher) +
                               " " + shellQuote(nginx->url()) + " " + demoPublicKeyHex();
    const std::string file = shellQuote(game("data/1000")),
                      gameDir = shellQuote(launcher + "/game");
    const std::string killedCopy = shellQuote(game("data/.veilstone-part-gone"));
    const std::string out = runShell(
        "unshare -rm sh -c " +
        shellQuote(
            "mount -t tmpfs -o size=1m none " + gameDir + " && " + driver + " install; " + "find " +
            gameDir + " -name '.veilstone-part-*' | wc -l && mount -o remount,size=64m " + gameDir +
            " && echo left >" + killedCopy + " && " + driver + " install && test ! -e " +
            killedCopy + " && echo changed >" + file + " && " + driver + " verify && cat " + file) +
        " 2>&1");
    const std::string full =
        "final state=6 message=cannot write to " + game("data") + ": the disk is full\n0\n";
    EXPECT_NE(out.find(full), std::string::npos) << out;
    EXPECT_EQ(linesStartingWith(out, "final state=1 ").size(), 2u) << out;
    EXPECT_TRUE(out.ends_with("\n" + a["data/1000"])) << out;
}

}  // namespace
}  // namespace kd::test
