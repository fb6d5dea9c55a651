// The Updater end to end: releases made by veilstone-release, served by a real nginx (or by the
// fault server for what nginx does not do on demand), checked, installed, updated and verified
// into a temporary launcher folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <filesystem>
#include <thread>

#include "release/crypto.h"
#include "tests/support/fault_server.h"
#include "tests/update/update_fixture.h"
#include "update/updater_internal.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;
using launcher::sizeText;
using S = UpdaterState;

const std::string kGameExe = "#!/bin/sh\necho veilstone\n";
const std::string kOffline = "Offline: playing what is installed";

JobRun check(Updater& u) { return runJob(u, [](Updater& x) { x.check(false); }); }
JobRun install(Updater& u) { return runJob(u, [](Updater& x) { x.update(false); }); }
JobRun verify(Updater& u) { return runJob(u, [](Updater& x) { x.update(true); }); }

std::string deflated(const std::string& content) {
    uLongf length = compressBound(content.size());
    std::string out(length, '\0');
    compress(reinterpret_cast<Bytef*>(out.data()), &length,
             reinterpret_cast<const Bytef*>(content.data()), content.size());
    out.resize(length);
    return out;
}

class UpdaterEndToEnd : public UpdateFixture {
protected:
    const Files v1 = {{"veilstone", kGameExe},
                      {"data/a.bin", noise(70000, 1)},
                      {"data/b.txt", std::string(5000, 'b')}};

    // Every regular file under the game folder except the record.
    Files installedFiles() const {
        Files files;
        const fs::path root = launcher + "/game";
        for (const auto& item : fs::recursive_directory_iterator(root))
            if (item.is_regular_file() && item.path().filename() != ".installed")
                files[fs::relative(item.path(), root).string()] = readText(item.path().string());
        return files;
    }
    std::string record() const { return readText(game(".installed")); }
    std::string served() const { return readText(server + "/manifest-linux64.txt"); }

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
};

// One game folder through its releases: a first install, a quick check, an update that adds,
// changes and drops files and turns a file into a folder and back, a release with the same files,
// damage only a verify sees, a damaged record, and an empty release.
TEST_F(UpdaterEndToEnd, OneGameFolderThroughInstallUpdateVerifyAndAnEmptyRelease) {
    Files old = v1;
    old["copy.bin"] = v1.at("data/a.bin");  // equal content: fetched once, copied
    old["drop.txt"] = "dropped";
    old["node"] = "a file that becomes a folder";
    old["tree/sub/leaf.txt"] = "a folder that becomes a file";
    writeText(dir / "news.md", "Patch notes\n");
    publish(old, "1", {"--news", dir / "news.md"});
    serve();
    std::string url = nginx->url();
    url.pop_back();  // no trailing "/": the same request paths
    auto u = makeUpdater(url);

    const JobRun found = check(*u);
    ASSERT_TRUE(found.finished);
    EXPECT_TRUE(found.saw(S::Checking, "Looking for updates"));
    EXPECT_EQ(found.progressOf("Looking at what is already here"), 0.0);
    const std::uint64_t packed = packedSize(
        {"copy.bin", "data/a.bin", "data/b.txt", "drop.txt", "node", "tree/sub/leaf.txt",
         "veilstone"});
    EXPECT_EQ(found.last.state, number(S::ReadyToInstall));
    EXPECT_EQ(found.last.message, sizeText(packed) + " to download");
    EXPECT_EQ(found.last.downloadBytes, packed);
    EXPECT_EQ(found.last.latestVersion, "1");
    EXPECT_EQ(found.last.news, "Patch notes\n");
    EXPECT_FALSE(found.last.gameInstalled);
    EXPECT_EQ(readText(launcher + "/.news"), readText(server + "/news.txt"));
    EXPECT_EQ(logCount("launcher: latest 1, installed nothing"), 1u);

    const JobRun installed = install(*u);
    expectUpToDate(installed, "1");
    EXPECT_EQ(nginx->countRequests("/manifest-linux64.txt"), 1u);  // the checked one is reused
    EXPECT_EQ(nginx->countRequests("/objects/"), 6u);
    EXPECT_FALSE(installed.saw(S::Working, "Downloading 2 of 7: data/a.bin"));
    double bar = 0.0;  // objects arrive side by side, but the bar never goes back
    for (const UpdaterStatus& change : installed.changes) {
        if (!change.message.starts_with("Downloading ")) continue;
        EXPECT_GE(change.progress, bar);
        bar = change.progress;
    }
    EXPECT_EQ(installed.progressOf("Putting files in place"), 1.0);
    EXPECT_EQ(installedFiles(), old);
    struct stat info {};
    ASSERT_EQ(stat(game("veilstone").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    const ino_t kept = info.st_ino;
    EXPECT_EQ(record(), served());
    EXPECT_FALSE(fs::exists(launcher + "/.staging"));
    EXPECT_EQ(logCount("launcher: installed 1 (7 files replaced)"), 1u);

    // A record and sizes that agree need no reading of the files.
    const JobRun again = check(*u);
    EXPECT_EQ(again.changes.size(), 2u);
    expectUpToDate(again, "1");

    Files next = v1;
    next["copy.bin"] = v1.at("data/a.bin");
    next["data/a.bin"] = noise(70000, 3);  // same size, other content
    next["add.txt"] = "added";
    next["node/child.txt"] = "inside";
    next["tree"] = "now a file";
    publish(next, "2");
    std::size_t objects = nginx->countRequests("/objects/");
    const JobRun offered = check(*u);
    EXPECT_EQ(offered.last.state, number(S::ReadyToUpdate));
    EXPECT_EQ(offered.last.message,
              sizeText(packedSize({"add.txt", "data/a.bin", "node/child.txt", "tree"})) +
                  " to download");
    EXPECT_EQ(offered.last.installedVersion, "1");
    const JobRun updated = install(*u);
    expectUpToDate(updated, "2");
    EXPECT_EQ(updated.progressOf("Downloading 1 of 4: add.txt"), 0.0);
    EXPECT_EQ(nginx->countRequests("/objects/") - objects, 4u);
    EXPECT_EQ(installedFiles(), next);
    for (const char* dropped : {"drop.txt", "node", "tree/sub/leaf.txt"})
        EXPECT_EQ(logCount(std::string("launcher: removed ") + dropped), 1u) << dropped;
    ASSERT_EQ(stat(game("veilstone").c_str(), &info), 0);
    EXPECT_EQ(info.st_ino, kept);  // files that passed are never rewritten

    publish(next, "3");
    EXPECT_EQ(check(*u).last.message, "Ready to update");
    expectUpToDate(install(*u), "3");
    EXPECT_EQ(logCount("launcher: installed 3 (0 files replaced)"), 1u);

    // A quick check trusts sizes; a verify reads every file and fetches what is wrong.
    std::string altered = next.at("data/a.bin");
    altered[100] ^= 1;
    writeText(game("data/a.bin"), altered);
    fs::remove(game("data/b.txt"));
    EXPECT_EQ(check(*u).last.message, sizeText(packedSize({"data/b.txt"})) + " to download");
    const std::size_t manifests = nginx->countRequests("/manifest-linux64.txt");
    const JobRun repaired = verify(*u);
    expectUpToDate(repaired, "3", "Files verified");
    EXPECT_EQ(nginx->countRequests("/manifest-linux64.txt"), manifests + 1);
    EXPECT_EQ(repaired.progressOf("Verifying files"), 0.0);
    EXPECT_TRUE(repaired.saw(S::Working, "Downloading 1 of 2: data/a.bin"));
    EXPECT_TRUE(repaired.saw(S::Working, "Downloading 2 of 2: data/b.txt"));
    EXPECT_EQ(installedFiles(), next);

    // Without a valid record every file is read; finding them right, a check only writes one.
    writeText(game(".installed"), "damaged record");
    objects = nginx->countRequests("/objects/");
    const JobRun rescanned = check(*u);
    EXPECT_TRUE(rescanned.saw(S::Working, "Looking at what is already here"));
    expectUpToDate(rescanned, "3");
    EXPECT_EQ(record(), served());
    expectUpToDate(verify(*u), "3", "Files verified");
    EXPECT_EQ(nginx->countRequests("/objects/"), objects);

    publish({}, "3", {"--allow-empty"});
    expectUpToDate(check(*u), "3");  // a check compares versions only, and they are equal
    expectUpToDate(install(*u), "3");
    EXPECT_TRUE(installedFiles().empty());
    EXPECT_TRUE(fs::is_empty(game("data")));  // only the files go, not the player's folders
    EXPECT_EQ(record(), served());
}

TEST_F(UpdaterEndToEnd, ARefusedPlaytesterKeyFallsBackToLiveAnAcceptedOneOpensTesting) {
    writeText(dir / "live.md", "Live news\n");
    writeText(dir / "testing.md", "Testing news\n");
    publish(v1, "1.0", {"--news", dir / "live.md"});
    Files testing = v1;
    testing["data/a.bin"] = noise(1000, 4);
    publish(testing, "t1", {"--channel", "testing", "--news", dir / "testing.md"});
    serve("KEY-1");
    auto u = makeUpdater();

    u->setChannel(1, "KEY-2");
    EXPECT_EQ(u->status().keyState, 1u);
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
    EXPECT_TRUE(gone.last.message.starts_with("cannot reach the update server ("));
    EXPECT_EQ(gone.last.shownChannel, 0u);
    EXPECT_EQ(logCount("launcher: playtester key refused; following Live"), 2u);
    ASSERT_TRUE(nginx->start());

    u->setChannel(1, "KEY-1");
    const JobRun found = check(*u);
    EXPECT_EQ(found.last.state, number(S::ReadyToInstall));
    EXPECT_EQ(found.last.keyState, 2u);
    EXPECT_EQ(found.last.shownChannel, 1u);
    EXPECT_EQ(found.last.latestVersion, "t1");
    EXPECT_EQ(found.last.news, "Testing news\n");
    EXPECT_EQ(readText(launcher + "/.news-testing"), readText(server + "/testing/news.txt"));
    expectUpToDate(install(*u), "t1");
    EXPECT_EQ(installedFiles(), testing);
    std::size_t keyed = 0;  // the key goes with the Testing news and manifest, never elsewhere
    for (const std::string& line : nginx->accessLog()) {
        if (line.find(" /testing/") != std::string::npos) keyed += line.ends_with(" KEY-1");
        if (line.find(" /objects/") != std::string::npos) EXPECT_TRUE(line.ends_with(" -"));
    }
    EXPECT_EQ(keyed, 2u);

    // A channel change forgets the checked manifest: the next update asks again.
    u->setChannel(0, "KEY-1");
    expectUpToDate(install(*u), "1.0");
    EXPECT_EQ(installedFiles(), v1);
}

TEST_F(UpdaterEndToEnd, UnreachableServersAndManifestsThatFailTheirChecksChangeNothing) {
    publish(v1, "1.0");
    serve();
    const std::string good = served();
    const std::string nobody = "http://127.0.0.1:1/";
    const JobRun away = check(*makeUpdater(nobody));
    EXPECT_EQ(away.last.state, number(S::Failed));
    EXPECT_TRUE(away.last.message.starts_with("cannot reach the update server ("));
    EXPECT_EQ(logCount("launcher: news: cannot reach the update server ("), 1u);

    // Unsigned news is logged, and the cached news stays.
    writeText(server + "/news.txt", "unsigned news\n");
    writeText(launcher + "/.news", signWithDemoKey("Cached news\n"));
    auto u = makeUpdater();
    const JobRun installed = install(*u);
    expectUpToDate(installed, "1.0");
    EXPECT_EQ(installed.last.news, "Cached news\n");
    EXPECT_EQ(logCount("launcher: news: news.txt is not signed by the Veilstone release key"), 1u);
    EXPECT_EQ(readText(launcher + "/.news"), signWithDemoKey("Cached news\n"));
    EXPECT_EQ(check(*makeUpdater(nobody)).last.message, kOffline);

    std::string body;
    ASSERT_TRUE(verifySignedText(good, demoPublicKey().data(), body));
    std::uint8_t seed[kSeedBytes] = {7}, otherSecret[kSecretKeyBytes], otherPublic[kPublicKeyBytes];
    keyPairFromSeed(seed, otherSecret, otherPublic);
    std::string otherPlatform = body;
    otherPlatform.replace(otherPlatform.find("linux64"), 7, "win64");
    const struct {
        const char* name;
        std::string served, message;  // served empty: no file
        bool offlineWhenInstalled;
    } cases[] = {
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
    Updater fresh(dir / "fresh", nginx->url(), demoPublicKey());
    for (const auto& c : cases) {
        fs::remove(server + "/manifest-linux64.txt");
        if (!c.served.empty()) writeText(server + "/manifest-linux64.txt", c.served);
        const JobRun failed = check(fresh);
        EXPECT_EQ(failed.last.state, number(S::Failed)) << c.name;
        EXPECT_EQ(failed.last.message, c.message) << c.name;
        // Nothing was accepted, so an update must ask again and fail the same way.
        EXPECT_EQ(install(fresh).last.message, c.message) << c.name;
        EXPECT_FALSE(fs::exists(dir / "fresh/game")) << c.name;
        const JobRun kept = check(*u);
        EXPECT_EQ(kept.last.state, number(c.offlineWhenInstalled ? S::Offline : S::Failed))
            << c.name;
        EXPECT_EQ(kept.last.message, c.offlineWhenInstalled ? kOffline : c.message) << c.name;
    }
    EXPECT_EQ(record(), good);

    fs::remove(game(".installed"));  // the executable alone is not an installed game
    const JobRun unrecorded = check(*makeUpdater(nobody));
    EXPECT_EQ(unrecorded.last.state, number(S::Failed));
    EXPECT_FALSE(unrecorded.last.gameInstalled);
}

// An object is tried three times; one that never arrives right fails the job, and the others
// fetched beside it stay staged for the next try.
TEST_F(UpdaterEndToEnd, BadObjectsAreTriedThreeTimesThenFailKeepingWhatArrived) {
    publish(v1, "1.0");
    serve();
    const std::string object = objectFile("data/b.txt");
    const std::string hash = fs::path(object).filename().string();
    const std::string good = readText(object);
    std::string sameSize = v1.at("data/b.txt");
    sameSize[0] ^= 1;
    const std::string warning = "launcher: object " + hash;
    const struct {
        const char* name;
        std::string served, message, warning;  // warning followed by the attempt number
    } cases[] = {
        {"other content", deflated(sameSize), "a download did not match the release",
         warning + " hash mismatch (attempt "},
        {"not zlib", std::string(good.size(), 'x'), "a download arrived damaged",
         warning + " did not decompress (attempt "},
        {"one byte longer", deflated(v1.at("data/b.txt") + "!"), "a download arrived damaged",
         warning + " did not decompress (attempt "},
        {"beyond packed size + 1024", good + std::string(1025, '\0'), "file larger than expected",
         warning + ", attempt "},
    };
    auto u = makeUpdater();
    for (const auto& c : cases) {
        writeText(object, c.served);
        const std::size_t before = nginx->countRequests("/objects/" + hash);
        const std::size_t warned = logCount(c.warning), third = logCount(c.warning + "3");
        const JobRun run = install(*u);
        EXPECT_EQ(run.last.state, number(S::Failed)) << c.name;
        EXPECT_EQ(run.last.message, c.message) << c.name;
        EXPECT_EQ(run.last.progress, -1.0) << c.name;
        EXPECT_EQ(run.last.downloadBytes, packedSize({"veilstone", "data/a.bin", "data/b.txt"}));
        EXPECT_EQ(nginx->countRequests("/objects/" + hash) - before, 3u) << c.name;
        EXPECT_EQ(logCount(c.warning) - warned, 3u) << c.name;
        EXPECT_EQ(logCount(c.warning + "3") - third, 1u) << c.name;
        EXPECT_FALSE(fs::exists(game("data/a.bin"))) << c.name;  // nothing placed
    }

    writeText(object, good);
    std::size_t staged = 0;
    for (const auto& item : fs::directory_iterator(launcher + "/.staging"))
        staged += !item.path().string().ends_with(".part");
    const std::size_t before = nginx->countRequests("/objects/");
    expectUpToDate(install(*u), "1.0");
    EXPECT_EQ(nginx->countRequests("/objects/") - before, 3 - staged);
    EXPECT_EQ(installedFiles(), v1);

    // Packed sizes of 0: nothing to measure, and small objects still fit the 1024-byte margin.
    Files small = {{"a.txt", "alpha"}, {"veilstone", kGameExe + "#\n"}};
    publish(small, "2");
    Manifest manifest = serverManifest();
    for (Entry& entry : manifest.files) entry.packedSize = 0;
    writeText(server + "/manifest-linux64.txt", signWithDemoKey(writeManifest(manifest)));
    EXPECT_EQ(check(*u).last.message, "0 bytes to download");
    const JobRun run = install(*u);
    expectUpToDate(run, "2");
    EXPECT_EQ(run.progressOf("Downloading 1 of 2: a.txt"), 0.0);
    EXPECT_EQ(run.progressOf("Downloading 2 of 2: veilstone"), 0.0);
    EXPECT_EQ(installedFiles(), small);
}

TEST_F(UpdaterEndToEnd, PlacementFailuresStopTheInstallWithTheirReason) {
    publish(v1, "1.0");
    serve();
    const struct {
        const char* name;
        std::string inTheWay, message;  // a file put in the launcher folder; message "": disk
    } cases[] = {
        {"folder in the way", "game/data/a.bin/inside",
         "cannot replace data/a.bin: close Veilstone and try again"},
        {"file in the way", "game/data", "cannot put data/a.bin in place"},
        {"staging not writable", ".staging", ""},
    };
    for (const auto& c : cases) {
        const std::string folder = dir / c.name;
        writeText(folder + "/" + c.inTheWay, "x");
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

    Manifest unnumbered = serverManifest();
    unnumbered.serial = 0;
    unnumbered.channel.clear();
    const std::string older =
        "the server offered an older release than one this launcher has already seen";
    struct Case {
        std::string name, served, message;
    };
    std::vector<Case> cases = {
        {"replayed", first, older},
        {"without serial", signWithDemoKey(writeManifest(unnumbered)), older},
        {"testing on live", readText(server + "/testing/manifest-linux64.txt"),
         "the server offered the testing release on the live channel"},
    };
    for (const char* name :
         {".installed", ".installed.part", ".news", ".news-testing", ".serials", ".staging/x"}) {
        Manifest selfNaming = serverManifest();
        selfNaming.files.push_back({selfNaming.files[0].hash, 1, 1, name});
        cases.push_back({name, signWithDemoKey(writeManifest(selfNaming)),
                         "the release lists " + std::string(name) +
                             ", a name the launcher keeps for itself"});
    }
    for (const Case& c : cases) {
        writeText(live, c.served);
        const std::size_t logged = logCount("launcher: " + c.message);
        const JobRun refused = check(*u);
        EXPECT_EQ(refused.last.state, number(S::Offline)) << c.name;
        EXPECT_EQ(refused.last.message, c.message) << c.name;
        EXPECT_TRUE(refused.last.gameInstalled) << c.name;
        EXPECT_EQ(install(*u).last.message, c.message) << c.name;
        EXPECT_EQ(installedFiles(), next) << c.name;
        EXPECT_EQ(logCount("launcher: " + c.message) - logged, 2u) << c.name;  // once per job
        // A launcher that has seen nothing has nothing to compare with, and nothing installed.
        Updater fresh(dir / c.name, nginx->url(), demoPublicKey());
        EXPECT_EQ(check(fresh).last.state,
                  number(c.message == older ? S::ReadyToInstall : S::Failed))
            << c.name;
    }
    // Each channel is judged by its own record: testing's serial 1 is not older than live's 2.
    u->setChannel(1, "KEY-1");
    EXPECT_EQ(check(*u).last.state, number(S::ReadyToUpdate));
    EXPECT_EQ(readText(launcher + "/.serials"), "live 2\ntesting 1\n");
    // Lines that do not read are skipped and the others kept.
    writeText(launcher + "/.serials", "live\nlive 9x\n 9\ntesting 1\n");
    writeText(live, first);
    u->setChannel(0, "");
    EXPECT_EQ(check(*u).last.state, number(S::ReadyToUpdate));
    EXPECT_EQ(readText(launcher + "/.serials"), "live 1\ntesting 1\n");
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
    const std::string manifestA = served();
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

const Files kRelease = {{"veilstone", "#!/bin/sh\n"}, {"data.bin", std::string(200000, 'd')}};

// Faults nginx does not produce on demand: a reply that stops in the middle, statuses on chosen
// paths, a manifest that takes its time.
class UpdaterFaults : public UpdateFixture {
protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        publish(kRelease, "1");
        faults = std::make_unique<FaultServer>(server);
        ASSERT_TRUE(faults->listening());
        dataObject = "/objects/" + fs::path(objectFile("data.bin")).filename().string();
    }

    std::unique_ptr<FaultServer> faults;
    std::string dataObject;
};

bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
}

TEST_F(UpdaterFaults, ObjectThatStopsHalfWayIsFetchedAgain) {
    faults->stallAfter(dataObject, 100, 1);
    auto u = makeUpdater(faults->url());
    EXPECT_EQ(install(*u).last.state, number(S::UpToDate));
    EXPECT_EQ(faults->count(dataObject), 2u);
    EXPECT_EQ(logCount("launcher: object " + dataObject.substr(9) +
                       ", attempt 1: the update server stopped answering"),
              1u);
    EXPECT_EQ(readText(game("data.bin")), kRelease.at("data.bin"));
}

TEST_F(UpdaterFaults, ShutdownDuringADownloadEndsReadyToUpdateWithoutRetrying) {
    faults->stallAfter(dataObject, 100);
    auto u = makeUpdater(faults->url());
    auto changes = std::make_shared<std::vector<UpdaterStatus>>();
    u->setStatusListener([changes](const UpdaterStatus& s) { changes->push_back(s); });
    u->update(false);
    ASSERT_TRUE(waitFor([&] { return faults->count(dataObject) == 1; }));
    const UpdaterStatus running = u->status();
    EXPECT_EQ(running.state, number(S::Working));
    EXPECT_TRUE(running.message.starts_with("Downloading ")) << running.message;

    // A job start while one runs is dropped and leaves its status alone.
    u->check(true);
    EXPECT_TRUE(u->busy());
    EXPECT_EQ(u->status().message, running.message);

    const auto start = std::chrono::steady_clock::now();
    u.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_FALSE(changes->empty());
    EXPECT_EQ(changes->back().state, number(S::ReadyToUpdate));
    EXPECT_EQ(changes->back().message, "cancelled");
    EXPECT_EQ(faults->count(dataObject), 1u);
    EXPECT_EQ(logCount(", attempt "), 0u);
}

TEST_F(UpdaterFaults, ForbiddenLiveFailsAndAKeyRefusedForNewsAloneOrAChannelChangeMidCheck) {
    faults->answerStatus("/manifest-linux64.txt", 403, 1);
    auto u = makeUpdater(faults->url());
    const JobRun forbidden = check(*u);
    EXPECT_EQ(forbidden.last.state, number(S::Failed));
    EXPECT_EQ(forbidden.last.message, "the update server said 403");
    EXPECT_EQ(forbidden.last.keyState, 0u);

    // A 403 for the Testing news alone says nothing against the key.
    publish(kRelease, "t1", {"--channel", "testing"});
    faults->answerStatus("/testing/news.txt", 403);
    u->setChannel(1, "K-1");
    const JobRun accepted = check(*u);
    EXPECT_EQ(accepted.last.state, number(S::ReadyToInstall));
    EXPECT_EQ(accepted.last.keyState, 2u);
    EXPECT_EQ(accepted.last.shownChannel, 1u);
    EXPECT_EQ(accepted.last.latestVersion, "t1");
    EXPECT_EQ(logCount("launcher: news: playtester key not accepted"), 1u);
    for (const FaultServer::Request& request : faults->requests())
        if (request.path.starts_with("/testing/")) EXPECT_EQ(request.key, "K-1");
    EXPECT_EQ(logCount("following Live"), 0u);

    // The Live manifest that arrives after a change to Testing is not installed there.
    u->setChannel(0, "");
    faults->delay("/manifest-linux64.txt", 400, 1);
    const std::size_t asked = faults->count("/manifest-linux64.txt");
    const JobRun changed = runJob(*u, [&](Updater& x) {
        x.check(false);
        ASSERT_TRUE(waitFor([&] { return faults->count("/manifest-linux64.txt") > asked; }));
        x.setChannel(1, "K-1");
    });
    EXPECT_EQ(changed.last.state, number(S::Failed));
    EXPECT_EQ(changed.last.message, "no release to install");
    const std::size_t testingAsked = faults->count("/testing/manifest-linux64.txt");
    const JobRun installed = install(*u);
    EXPECT_EQ(installed.last.state, number(S::UpToDate));
    EXPECT_EQ(installed.last.installedVersion, "t1");
    EXPECT_EQ(faults->count("/testing/manifest-linux64.txt"), testingAsked + 1);
}

}  // namespace
}  // namespace kd::test
