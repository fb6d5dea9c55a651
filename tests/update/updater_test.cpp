// The Updater end to end: releases made by veilstone-release, served by a real nginx, checked,
// installed, updated and verified into a temporary launcher folder.
#include "update/updater.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "release/crypto.h"
#include "tests/update/update_fixture.h"
#include "update/updater_internal.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;
using launcher::sizeText;
using S = UpdaterState;

const std::string kGameExe = "#!/bin/sh\necho veilstone\n";

std::string words(std::size_t count, std::uint32_t seed) {
    static const char* const kWords[] = {"ember ", "stone ", "veil ", "ash ", "rune ", "tower "};
    std::string text;
    const std::string pick = noise(count, seed);
    for (unsigned char c : pick) text += kWords[c % 6];
    return text;
}

std::string deflated(const std::string& content) {
    uLongf length = compressBound(content.size());
    std::string out(length, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &length,
             reinterpret_cast<const Bytef*>(content.data()), content.size());
    out.resize(length);
    return out;
}

JobRun check(Updater& u) {
    return runJob(u, [](Updater& x) { x.check(false); });
}
JobRun install(Updater& u) {
    return runJob(u, [](Updater& x) { x.update(false); });
}
JobRun verify(Updater& u) {
    return runJob(u, [](Updater& x) { x.update(true); });
}

class UpdaterEndToEnd : public UpdateFixture {
protected:
    const Files v1 = {
        {"veilstone", kGameExe}, {"data/a.bin", noise(70000, 1)}, {"data/b.txt", words(5000, 2)}};

    std::string news(const std::string& text) {
        const std::string file = dir / ("news" + std::to_string(newsFiles_++) + ".md");
        writeText(file, text);
        return file;
    }

    // Every regular file under the game folder except the record.
    Files installedFiles() const {
        Files files;
        const fs::path root = launcher + "/game";
        if (!fs::exists(root)) return files;
        for (const auto& item : fs::recursive_directory_iterator(root))
            if (item.is_regular_file() && item.path().filename() != ".installed")
                files[fs::relative(item.path(), root).string()] = readText(item.path().string());
        return files;
    }

    void expectUpToDate(const JobRun& run, const std::string& version,
                        const std::string& message = "Up to date") {
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.last.state, number(S::UpToDate)) << run.last.message;
        EXPECT_EQ(run.last.message, message);
        EXPECT_EQ(run.last.progress, -1.0);
        EXPECT_EQ(run.last.installedVersion, version);
        EXPECT_TRUE(run.last.gameInstalled);
        EXPECT_EQ(run.last.downloadBytes, 0u);
    }

private:
    int newsFiles_ = 0;
};

TEST_F(UpdaterEndToEnd, FirstInstallIntoAnEmptyFolderThenAQuickCheck) {
    publish(v1, "1.0", {"--news", news("Patch notes\n")});
    serve();
    std::string url = nginx->url();
    url.pop_back();  // no trailing "/": the same request paths
    auto u = makeUpdater(url);

    const JobRun found = check(*u);
    ASSERT_TRUE(found.finished);
    EXPECT_TRUE(found.saw(S::Checking, "Looking for updates"));
    EXPECT_EQ(found.progressOf("Looking at what is already here"), 0.0);
    const std::uint64_t packed = packedSize({"veilstone", "data/a.bin", "data/b.txt"});
    EXPECT_EQ(found.last.state, number(S::ReadyToInstall));
    EXPECT_EQ(found.last.message, sizeText(packed) + " to download");
    EXPECT_EQ(found.last.downloadBytes, packed);
    EXPECT_EQ(found.last.latestVersion, "1.0");
    EXPECT_EQ(found.last.installedVersion, "");
    EXPECT_EQ(found.last.news, "Patch notes\n");
    EXPECT_FALSE(found.last.gameInstalled);
    EXPECT_EQ(readText(launcher + "/.news"), readText(server + "/news.txt"));
    EXPECT_EQ(logCount("launcher: latest 1.0, installed nothing"), 1u);

    const JobRun installed = install(*u);
    expectUpToDate(installed, "1.0");
    EXPECT_EQ(nginx->countRequests("/manifest-linux64.txt"), 1u);  // the checked one is reused
    EXPECT_EQ(nginx->countRequests("/objects/"), 3u);
    EXPECT_EQ(installed.progressOf("Downloading 1 of 3: data/a.bin"), 0.0);
    double bar = 0.0;  // objects arrive side by side, but the bar never goes back
    for (const UpdaterStatus& change : installed.changes)
        if (change.message.starts_with("Downloading "))
            EXPECT_GE(change.progress, bar), bar = change.progress;
    EXPECT_EQ(installed.progressOf("Putting files in place"), 1.0);
    EXPECT_EQ(installedFiles(), v1);
    struct stat info {};
    ASSERT_EQ(stat(game("veilstone").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    EXPECT_EQ(readText(game(".installed")), readText(server + "/manifest-linux64.txt"));
    EXPECT_FALSE(fs::exists(launcher + "/.staging"));
    EXPECT_EQ(logCount("launcher: installed 1.0 (3 files replaced)"), 1u);

    // A record and sizes that agree need no reading of the files.
    const JobRun again = check(*u);
    ASSERT_EQ(again.changes.size(), 2u);
    EXPECT_TRUE(again.saw(S::Checking, "Looking for updates"));
    expectUpToDate(again, "1.0");
    EXPECT_EQ(logCount("launcher: latest 1.0, installed 1.0"), 1u);
}

TEST_F(UpdaterEndToEnd, UpdateReplacesChangedFilesAddsNewOnesAndDropsOldOnes) {
    Files old = v1;
    old["keep.txt"] = "unchanged";
    old["drop.txt"] = "dropped";
    old["node"] = "a file that becomes a folder";
    old["tree/sub/leaf.txt"] = "a folder that becomes a file";
    publish(old, "1");
    serve();
    auto u = makeUpdater();
    expectUpToDate(install(*u), "1");
    struct stat keptBefore {};
    ASSERT_EQ(stat(game("keep.txt").c_str(), &keptBefore), 0);

    Files next = v1;
    next["keep.txt"] = "unchanged";
    next["data/a.bin"] = noise(70000, 3);
    next["add.txt"] = "added";
    next["node/child.txt"] = "inside";
    next["tree"] = "now a file";
    publish(next, "2");
    const std::size_t objectsBefore = nginx->countRequests("/objects/");

    const JobRun found = check(*u);
    EXPECT_EQ(found.last.state, number(S::ReadyToUpdate));
    EXPECT_EQ(
        found.last.message,
        sizeText(packedSize({"data/a.bin", "add.txt", "node/child.txt", "tree"})) + " to download");
    EXPECT_EQ(found.last.installedVersion, "1");
    EXPECT_EQ(found.last.latestVersion, "2");

    expectUpToDate(install(*u), "2");
    EXPECT_EQ(nginx->countRequests("/objects/") - objectsBefore, 4u);
    EXPECT_EQ(installedFiles(), next);
    for (const char* dropped : {"drop.txt", "node", "tree/sub/leaf.txt"})
        EXPECT_EQ(logCount(std::string("launcher: removed ") + dropped), 1u) << dropped;
    struct stat keptAfter {};
    ASSERT_EQ(stat(game("keep.txt").c_str(), &keptAfter), 0);
    EXPECT_EQ(keptAfter.st_ino, keptBefore.st_ino);  // files that passed are never rewritten

    // A new version with the same files: nothing to fetch, but a new record.
    publish(next, "3");
    const JobRun same = check(*u);
    EXPECT_EQ(same.last.state, number(S::ReadyToUpdate));
    EXPECT_EQ(same.last.message, "Ready to update");
    expectUpToDate(install(*u), "3");
    EXPECT_EQ(nginx->countRequests("/objects/") - objectsBefore, 4u);
    EXPECT_EQ(logCount("launcher: installed 3 (0 files replaced)"), 1u);
}

TEST_F(UpdaterEndToEnd, VerifyRepairsWhatAQuickCheckCannotSee) {
    publish(v1, "1.0");
    serve();
    auto u = makeUpdater();
    expectUpToDate(install(*u), "1.0");
    std::string altered = v1.at("data/a.bin");
    altered[100] ^= 1;
    writeText(game("data/a.bin"), altered);
    fs::remove(game("data/b.txt"));

    const JobRun quick = check(*u);
    EXPECT_EQ(quick.last.state, number(S::ReadyToUpdate));
    EXPECT_EQ(quick.last.message, sizeText(packedSize({"data/b.txt"})) + " to download");

    const std::size_t manifestsBefore = nginx->countRequests("/manifest-linux64.txt");
    const JobRun repaired = verify(*u);
    expectUpToDate(repaired, "1.0", "Files verified");
    EXPECT_EQ(nginx->countRequests("/manifest-linux64.txt"), manifestsBefore + 1);
    EXPECT_EQ(repaired.progressOf("Verifying files"), 0.0);
    EXPECT_TRUE(repaired.saw(S::Working, "Downloading 1 of 2: data/a.bin"));
    EXPECT_TRUE(repaired.saw(S::Working, "Downloading 2 of 2: data/b.txt"));
    EXPECT_EQ(installedFiles(), v1);
    EXPECT_EQ(logCount("launcher: installed 1.0 (2 files replaced)"), 1u);

    // An intact game: nothing fetched, the record written anew.
    writeText(game(".installed"), "damaged record");
    const std::size_t objectsBefore = nginx->countRequests("/objects/");
    expectUpToDate(verify(*u), "1.0", "Files verified");
    EXPECT_EQ(nginx->countRequests("/objects/"), objectsBefore);
    EXPECT_EQ(logCount("launcher: installed 1.0 (0 files replaced)"), 1u);
    EXPECT_EQ(readText(game(".installed")), readText(server + "/manifest-linux64.txt"));
}

TEST_F(UpdaterEndToEnd, MissingRecordWithCorrectFilesOnlyWritesTheRecord) {
    publish(v1, "1.0");
    serve();
    auto u = makeUpdater();
    expectUpToDate(install(*u), "1.0");
    fs::remove(game(".installed"));

    const JobRun run = check(*u);
    EXPECT_TRUE(run.saw(S::Working, "Looking at what is already here"));
    expectUpToDate(run, "1.0");
    EXPECT_EQ(nginx->countRequests("/objects/"), 3u);
    EXPECT_EQ(readText(game(".installed")), readText(server + "/manifest-linux64.txt"));
}

TEST_F(UpdaterEndToEnd, EqualContentIsDownloadedOnceAndCopied) {
    const std::string shared = noise(50000, 9);
    publish({{"a.bin", shared}, {"b/c.bin", shared}, {"veilstone", kGameExe}}, "1");
    serve();
    auto u = makeUpdater();
    const JobRun run = install(*u);
    expectUpToDate(run, "1");
    EXPECT_EQ(nginx->countRequests("/objects/"), 2u);
    EXPECT_TRUE(run.saw(S::Working, "Downloading 1 of 3: a.bin"));
    EXPECT_FALSE(run.saw(S::Working, "Downloading 2 of 3: b/c.bin"));
    EXPECT_EQ(readText(game("a.bin")), shared);
    EXPECT_EQ(readText(game("b/c.bin")), shared);
    EXPECT_EQ(logCount("launcher: installed 1 (3 files replaced)"), 1u);
}

TEST_F(UpdaterEndToEnd, AnEmptyReleaseOfTheSameVersionRemovesEveryFileOnUpdate) {
    publish(v1, "1");
    serve();
    auto u = makeUpdater();
    expectUpToDate(install(*u), "1");
    publish({}, "1", {"--allow-empty"});
    // A check compares versions only, and they are equal.
    expectUpToDate(check(*u), "1");
    EXPECT_EQ(installedFiles().size(), 3u);
    expectUpToDate(install(*u), "1");
    EXPECT_TRUE(installedFiles().empty());
    EXPECT_TRUE(fs::is_empty(game("data")));  // only the files go, not the player's folders
    EXPECT_EQ(readText(game(".installed")), readText(server + "/manifest-linux64.txt"));
}

TEST_F(UpdaterEndToEnd, TestingChannelSendsTheKeyForNewsAndManifestOnly) {
    publish(v1, "1.0", {"--news", news("Live news\n")});
    Files testing = v1;
    testing["data/a.bin"] = noise(1000, 4);
    publish(testing, "t1", {"--channel", "testing", "--news", news("Testing news\n")});
    serve("KEY-1");
    auto u = makeUpdater();
    u->setChannel(1, "KEY-1");
    EXPECT_EQ(u->status().keyState, 1u);

    const JobRun found = check(*u);
    EXPECT_EQ(found.last.state, number(S::ReadyToInstall));
    EXPECT_EQ(found.last.keyState, 2u);
    EXPECT_EQ(found.last.shownChannel, 1u);
    EXPECT_EQ(found.last.latestVersion, "t1");
    EXPECT_EQ(found.last.news, "Testing news\n");
    EXPECT_EQ(readText(launcher + "/.news-testing"), readText(server + "/testing/news.txt"));
    EXPECT_FALSE(fs::exists(launcher + "/.news"));

    expectUpToDate(install(*u), "t1");
    EXPECT_EQ(installedFiles(), testing);
    std::size_t keyed = 0;
    for (const std::string& line : nginx->accessLog()) {
        const bool hasKey = line.ends_with(" KEY-1");
        if (line.find(" /testing/") != std::string::npos) keyed += hasKey;
        if (line.find(" /objects/") != std::string::npos) EXPECT_TRUE(line.ends_with(" -")) << line;
        EXPECT_TRUE(line.starts_with("200 ")) << line;
    }
    EXPECT_EQ(keyed, 2u);

    // A channel change forgets the checked manifest: the next update asks again.
    u->setChannel(0, "KEY-1");
    expectUpToDate(install(*u), "1.0");
    EXPECT_EQ(nginx->countRequests("/manifest-linux64.txt"), 1u);
    EXPECT_EQ(installedFiles(), v1);
}

TEST_F(UpdaterEndToEnd, RefusedKeyFallsBackToLive) {
    publish(v1, "1.0", {"--news", news("Live news\n")});
    publish(v1, "t1", {"--channel", "testing", "--news", news("Testing news\n")});
    serve("KEY-1");
    auto u = makeUpdater();
    u->setChannel(1, "KEY-2");

    const JobRun refused = check(*u);
    EXPECT_EQ(refused.last.state, number(S::ReadyToInstall));
    EXPECT_EQ(refused.last.message, "Playtester key not accepted; showing Live");
    EXPECT_EQ(refused.last.keyState, 3u);
    EXPECT_EQ(refused.last.shownChannel, 0u);
    EXPECT_EQ(refused.last.latestVersion, "1.0");
    EXPECT_EQ(refused.last.news, "Live news\n");
    EXPECT_EQ(readText(launcher + "/.news"), readText(server + "/news.txt"));
    EXPECT_FALSE(fs::exists(launcher + "/.news-testing"));
    EXPECT_EQ(logCount("playtester key not accepted"), 2u);  // news, then manifest
    EXPECT_EQ(logCount("launcher: playtester key refused; following Live"), 1u);

    // Asking again keeps the refusal until the server answers; with the server gone that failure
    // takes the same way back to Live, where it fails for want of a server.
    u->setChannel(1, "KEY-2");
    EXPECT_EQ(u->status().keyState, 3u);
    EXPECT_EQ(u->status().shownChannel, 1u);
    nginx->stop();
    const JobRun gone = check(*u);
    EXPECT_EQ(gone.last.state, number(S::Failed));
    EXPECT_TRUE(gone.last.message.starts_with("cannot reach the update server ("))
        << gone.last.message;
    EXPECT_EQ(gone.last.shownChannel, 0u);
    EXPECT_EQ(logCount("launcher: playtester key refused; following Live"), 2u);
}

TEST_F(UpdaterEndToEnd, UnreachableServerIsOfflineOnlyWithAnInstalledGame) {
    publish(v1, "1.0");
    serve();
    auto u = makeUpdater();
    nginx->stop();
    const JobRun fresh = check(*u);
    EXPECT_EQ(fresh.last.state, number(S::Failed));
    EXPECT_TRUE(fresh.last.message.starts_with("cannot reach the update server ("))
        << fresh.last.message;
    EXPECT_EQ(logCount("launcher: news: cannot reach the update server ("), 1u);

    ASSERT_TRUE(nginx->start());
    expectUpToDate(install(*u), "1.0");
    nginx->stop();
    const JobRun offline = check(*u);
    EXPECT_EQ(offline.last.state, number(S::Offline));
    EXPECT_EQ(offline.last.message, "Offline: playing what is installed");
    EXPECT_TRUE(offline.last.gameInstalled);

    // The executable alone is not an installed game.
    fs::remove(game(".installed"));
    const JobRun unrecorded = check(*u);
    EXPECT_EQ(unrecorded.last.state, number(S::Failed));
    EXPECT_FALSE(unrecorded.last.gameInstalled);
    EXPECT_EQ(unrecorded.last.installedVersion, "");
}

TEST_F(UpdaterEndToEnd, ManifestsThatFailTheirChecksAreNeverUsed) {
    publish(v1, "1.0");
    serve();
    const std::string manifestPath = server + "/manifest-linux64.txt";
    const std::string good = readText(manifestPath);
    std::string body;
    ASSERT_TRUE(verifySignedText(good, demoPublicKey().data(), body));
    std::uint8_t seed[kSeedBytes] = {7}, otherSecret[kSecretKeyBytes], otherPublic[kPublicKeyBytes];
    keyPairFromSeed(seed, otherSecret, otherPublic);
    std::string otherPlatform = body;
    otherPlatform.replace(otherPlatform.find("linux64"), 7, "win64");

    auto installedUpdater = makeUpdater();
    expectUpToDate(install(*installedUpdater), "1.0");
    auto freshUpdater = std::make_unique<Updater>(dir / "fresh", nginx->url(), demoPublicKey());

    struct Case {
        const char* name;
        std::string served;  // empty: no file
        std::string message;
        bool offlineWhenInstalled;
    };
    const Case cases[] = {
        {"other key", signText(body, otherSecret),
         "manifest-linux64.txt is not signed by the Veilstone release key", true},
        {"not a manifest", signWithDemoKey("hello\n"), "not a manifest this launcher can read",
         true},
        {"too large", signWithDemoKey(body + std::string(launcher::kMaxSignedTextBytes, '\n')),
         "file larger than expected", true},
        {"missing", "", "not on the update server: /manifest-linux64.txt", true},
        {"other platform", signWithDemoKey(otherPlatform), "the server offered a build for win64",
         false},
    };
    for (const Case& c : cases) {
        fs::remove(manifestPath);
        if (!c.served.empty()) writeText(manifestPath, c.served);
        const JobRun fresh = check(*freshUpdater);
        EXPECT_EQ(fresh.last.state, number(S::Failed)) << c.name;
        EXPECT_EQ(fresh.last.message, c.message) << c.name;
        // Nothing was accepted, so an update must ask again and fail the same way.
        const JobRun retried = install(*freshUpdater);
        EXPECT_EQ(retried.last.message, c.message) << c.name;
        EXPECT_FALSE(fs::exists(dir / "fresh/game")) << c.name;

        const JobRun installed = check(*installedUpdater);
        EXPECT_EQ(installed.last.state, number(c.offlineWhenInstalled ? S::Offline : S::Failed))
            << c.name;
        EXPECT_EQ(installed.last.message,
                  c.offlineWhenInstalled ? "Offline: playing what is installed" : c.message)
            << c.name;
    }
    EXPECT_EQ(readText(game(".installed")), good);
}

TEST_F(UpdaterEndToEnd, UnsignedNewsIsLoggedAndTheCheckGoesOn) {
    publish(v1, "1.0");
    serve();
    writeText(server + "/news.txt", "unsigned news\n");
    writeText(launcher + "/.news", signWithDemoKey("Cached news\n"));
    auto u = makeUpdater();
    const JobRun run = check(*u);
    EXPECT_EQ(run.last.state, number(S::ReadyToInstall));
    EXPECT_EQ(run.last.news, "Cached news\n");
    EXPECT_EQ(logCount("launcher: news: news.txt is not signed by the Veilstone release key"), 1u);
    EXPECT_EQ(readText(launcher + "/.news"), signWithDemoKey("Cached news\n"));
}

TEST_F(UpdaterEndToEnd, BadObjectsAreTriedThreeTimesThenFail) {
    publish(v1, "1.0");
    serve();
    const std::string object = objectFile("data/b.txt");
    const std::string good = readText(object);
    const std::string content = v1.at("data/b.txt");
    std::string sameSize = content;
    sameSize[0] ^= 1;

    struct Case {
        const char* name;
        std::string served;
        std::string message;
        std::string warning;  // followed by " (attempt N)" or ", attempt N: ..."
    };
    const std::string hash = fs::path(object).filename().string();
    const Case cases[] = {
        {"other content", deflated(sameSize), "a download did not match the release",
         "launcher: object " + hash + " hash mismatch (attempt "},
        {"not zlib", std::string(good.size(), 'x'), "a download arrived damaged",
         "launcher: object " + hash + " did not decompress (attempt "},
        {"one byte longer", deflated(content + "!"), "a download arrived damaged",
         "launcher: object " + hash + " did not decompress (attempt "},
        {"beyond the limit", good + std::string(1025, '\0'), "file larger than expected",
         "launcher: object " + hash + ", attempt "},
    };
    for (const Case& c : cases) {
        writeText(object, c.served);
        const std::size_t before = nginx->countRequests("/objects/" + hash);
        std::size_t warningsBefore[4] = {};
        for (int attempt = 1; attempt <= 3; ++attempt)
            warningsBefore[attempt] = logCount(c.warning + std::to_string(attempt));
        auto u = makeUpdater();
        const JobRun run = install(*u);
        EXPECT_EQ(run.last.state, number(S::Failed)) << c.name;
        EXPECT_EQ(run.last.message, c.message) << c.name;
        EXPECT_EQ(run.last.progress, -1.0) << c.name;
        EXPECT_EQ(nginx->countRequests("/objects/" + hash) - before, 3u) << c.name;
        for (int attempt = 1; attempt <= 3; ++attempt)
            EXPECT_EQ(logCount(c.warning + std::to_string(attempt)) - warningsBefore[attempt], 1u)
                << c.name << " " << attempt;
        EXPECT_FALSE(fs::exists(game("data/a.bin"))) << c.name;  // nothing placed
    }
}

TEST_F(UpdaterEndToEnd, InterruptedInstallResumesFromStagedObjects) {
    publish(v1, "1.0");
    serve();
    const std::string object = objectFile("data/b.txt");
    const std::string good = readText(object);
    writeText(object, "broken");
    auto u = makeUpdater();
    const JobRun broken = install(*u);
    EXPECT_EQ(broken.last.state, number(S::Failed));
    EXPECT_EQ(broken.last.downloadBytes, packedSize({"veilstone", "data/a.bin", "data/b.txt"}));

    writeText(object, good);
    // Whatever was fetched whole beside the failure stays and is not asked for again.
    std::size_t staged = 0;
    for (const auto& item : fs::directory_iterator(launcher + "/.staging"))
        staged += !item.path().string().ends_with(".part");
    const std::size_t before = nginx->countRequests("/objects/");
    const JobRun resumed = install(*u);
    expectUpToDate(resumed, "1.0");
    EXPECT_EQ(nginx->countRequests("/objects/") - before, 3 - staged);
    EXPECT_EQ(installedFiles(), v1);
}

TEST_F(UpdaterEndToEnd, PlacementFailuresStopTheInstallWithTheirReason) {
    publish(v1, "1.0");
    serve();
    struct Case {
        const char* name;
        std::function<void(const std::string&)> prepare;  // given the launcher folder
        std::string message;
    };
    const Case cases[] = {
        {"folder in the way",
         [](const std::string& l) { writeText(l + "/game/data/a.bin/inside", "x"); },
         "cannot replace data/a.bin: close Veilstone and try again"},
        {"file in the way", [](const std::string& l) { writeText(l + "/game/data", "x"); },
         "cannot put data/a.bin in place"},
        {"staging not writable", [](const std::string& l) { writeText(l + "/.staging", "x"); }, ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string folder = dir / ("case" + std::to_string(n++));
        fs::create_directories(folder);
        c.prepare(folder);
        Updater u(folder, nginx->url(), demoPublicKey());
        const JobRun run = install(u);
        const std::string message =
            c.message.empty() ? "cannot write to " + folder + "/.staging (is the disk full?)"
                              : c.message;
        EXPECT_EQ(run.last.state, number(S::Failed)) << c.name;
        EXPECT_EQ(run.last.message, message) << c.name;
        EXPECT_FALSE(fs::exists(folder + "/game/.installed")) << c.name;
    }
}

TEST_F(UpdaterEndToEnd, ZeroPackedSizesShowNoByteProgress) {
    // Small files: the size limit of a download is its packed size plus 1024 bytes.
    publish({{"a.txt", "alpha"}, {"veilstone", kGameExe}}, "1.0");
    serve();
    Manifest manifest = serverManifest();
    for (Entry& entry : manifest.files) entry.packedSize = 0;
    writeText(server + "/manifest-linux64.txt", signWithDemoKey(writeManifest(manifest)));
    auto u = makeUpdater();
    const JobRun found = check(*u);
    EXPECT_EQ(found.last.message, "0 bytes to download");
    const JobRun run = install(*u);
    expectUpToDate(run, "1.0");
    EXPECT_EQ(run.progressOf("Downloading 1 of 2: a.txt"), 0.0);
    EXPECT_EQ(run.progressOf("Downloading 2 of 2: veilstone"), 0.0);
}

// A server may replay an older signed manifest, serve one channel's on the other's path, or list
// names the launcher writes itself: each is refused, and what is installed stays playable.
TEST_F(UpdaterEndToEnd, ReplayedMisplacedAndSelfNamingReleasesAreRefused) {
    const std::string live = server + "/manifest-linux64.txt";
    publish(v1, "1");
    const std::string first = readText(live);
    Files next = v1;
    next["data/b.txt"] = "second";
    publish(next, "2");
    publish(v1, "t1", {"--channel", "testing"});
    serve();
    auto u = makeUpdater();
    expectUpToDate(install(*u), "2");
    EXPECT_EQ(readText(launcher + "/.serials"), "live 2\n");

    std::string body;
    ASSERT_TRUE(verifySignedText(readText(live), demoPublicKey().data(), body));
    Manifest unnumbered = serverManifest(), selfNaming = serverManifest();
    unnumbered.serial = 0;
    unnumbered.channel.clear();
    selfNaming.serial = 3;
    selfNaming.files.push_back({selfNaming.files[0].hash, 1, 1, ".installed"});
    const std::string older =
        "the server offered an older release than one this launcher has already seen";
    const struct {
        const char* name;
        std::string served, message;
    } cases[] = {
        {"replayed", first, older},
        {"without serial", signWithDemoKey(writeManifest(unnumbered)), older},
        {"testing on live", readText(server + "/testing/manifest-linux64.txt"),
         "the server offered the testing release on the live channel"},
        {"launcher's name", signWithDemoKey(writeManifest(selfNaming)),
         "the release lists .installed, a name the launcher keeps for itself"},
    };
    for (const auto& c : cases) {
        writeText(live, c.served);
        const std::size_t logged = logCount("launcher: " + c.message);
        const JobRun refused = check(*u);
        EXPECT_EQ(refused.last.state, number(S::Offline)) << c.name;
        EXPECT_EQ(refused.last.message, c.message) << c.name;
        EXPECT_TRUE(refused.last.gameInstalled) << c.name;
        EXPECT_EQ(install(*u).last.message, c.message) << c.name;
        EXPECT_EQ(installedFiles(), next) << c.name;
        EXPECT_EQ(logCount("launcher: " + c.message) - logged, 2u) << c.name;
        // A launcher that has seen nothing has nothing to compare with, and nothing installed.
        Updater fresh(dir / c.name, nginx->url(), demoPublicKey());
        const JobRun other = check(fresh);
        EXPECT_EQ(other.last.state, number(c.message == older ? S::ReadyToInstall : S::Failed))
            << c.name;
    }
    // Each channel is judged by its own record: testing's serial 1 is not older than live's 2.
    u->setChannel(1, "KEY-1");
    EXPECT_EQ(check(*u).last.state, number(S::ReadyToUpdate));
    EXPECT_EQ(readText(launcher + "/.serials"), "live 2\ntesting 1\n");
}

// Links inside the game folder lead out of it; no write or removal may follow one.
TEST_F(UpdaterEndToEnd, LinksInsideTheGameFolderAreReplacedNeverFollowed) {
    Files old = v1;
    old["docs/old.txt"] = "dropped later";
    publish(old, "1");
    serve();
    auto u = makeUpdater();
    expectUpToDate(install(*u), "1");
    const std::string outside = dir / "outside";
    writeText(outside + "/old.txt", "the player's");
    writeText(outside + "/a.bin", "the player's too");
    fs::remove_all(game("docs"));
    fs::create_directory_symlink(outside, game("docs"));
    fs::remove(game("data/a.bin"));
    fs::create_symlink(outside + "/a.bin", game("data/a.bin"));
    Files next = v1;
    next["docs/new.txt"] = "new";
    publish(next, "2");
    check(*u);
    expectUpToDate(install(*u), "2");
    expectUpToDate(verify(*u), "2", "Files verified");
    EXPECT_EQ(readText(outside + "/old.txt"), "the player's");
    EXPECT_EQ(readText(outside + "/a.bin"), "the player's too");
    EXPECT_FALSE(fs::exists(outside + "/new.txt"));
    EXPECT_FALSE(fs::is_symlink(game("docs")));
    EXPECT_FALSE(fs::is_symlink(game("data/a.bin")));
    EXPECT_EQ(installedFiles(), next);
}

// An update cut off while files are put in place leaves no record, so going back to the release
// that was installed hashes every file instead of trusting sizes.
TEST_F(UpdaterEndToEnd, AFolderLeftMixedIsNeverReportedCurrent) {
    publish(v1, "A");
    serve();
    const std::string manifestA = readText(server + "/manifest-linux64.txt");
    auto u = makeUpdater();
    expectUpToDate(install(*u), "A");
    Files b = v1;
    b["data/a.bin"] = noise(70000, 5);  // same size, other content
    b["data/z.bin"] = "placed last";
    publish(b, "B");
    writeText(game("data/z.bin/keep"), "in the way");
    check(*u);
    const JobRun failed = install(*u);
    EXPECT_EQ(failed.last.message, "cannot replace data/z.bin: close Veilstone and try again");
    EXPECT_EQ(logCount("launcher: cannot replace data/z.bin"), 1u);
    EXPECT_EQ(readText(game("data/a.bin")), b.at("data/a.bin"));
    EXPECT_FALSE(fs::exists(game(".installed")));

    writeText(server + "/manifest-linux64.txt", manifestA);
    fs::remove(launcher + "/.serials");  // as if A were the newer release again
    const JobRun back = check(*u);
    EXPECT_EQ(back.last.state, number(S::ReadyToInstall));
    EXPECT_EQ(back.last.downloadBytes, packedSize({"data/a.bin"}));
}

// One engine per launcher folder: a second is refused before it touches anything, and one that
// may wait (a launcher restarted by its predecessor) gets the folder once it is free.
TEST_F(UpdaterEndToEnd, OneLauncherFolderServesOneEngineAtATime) {
    publish(v1, "1");
    serve();
    const launcher::UpdaterSetup setup{.installDir = launcher,
                                       .serverUrl = nginx->url(),
                                       .releaseKey = demoPublicKey(),
                                       .lockFolder = true};
    auto first = std::make_unique<Updater>(setup);
    Updater second(setup);
    const std::string taken = "another Veilstone launcher is already using this folder";
    EXPECT_EQ(second.status().message, taken);
    const JobRun refused = install(second);
    EXPECT_EQ(refused.last.state, number(S::Failed));
    EXPECT_EQ(refused.last.message, taken);
    EXPECT_EQ(logCount("launcher: " + taken), 2u);
    EXPECT_FALSE(fs::exists(launcher + "/game"));
    EXPECT_EQ(nginx->countRequests("/"), 0u);

    std::thread release([&first] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        first.reset();
    });
    launcher::UpdaterSetup waiting = setup;
    waiting.lockWaitMs = 5000;
    Updater restarted(waiting);
    release.join();
    expectUpToDate(install(restarted), "1");
}

}  // namespace
}  // namespace kd::test
