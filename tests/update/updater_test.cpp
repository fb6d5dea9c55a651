// The Updater end to end: releases made by veilstone-release, served by a real nginx (or by the
// fault server), checked, installed, updated and verified into a temporary launcher folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include "release/chunks.h"
#include "release/crypto.h"
#include "tests/support/fault_server.h"
#include "tests/update/update_fixture.h"
#include "update/job.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;
using launcher::sizeText;
using S = UpdaterState;

JobRun check(Updater& u) {
    return runJob(u, [](Updater& x) { x.check(false); });
}
JobRun install(Updater& u) {
    return runJob(u, [](Updater& x) { x.update(false); });
}
JobRun verify(Updater& u) {
    return runJob(u, [](Updater& x) { x.update(true); });
}

// The state's name and the message, the two things the status bar shows.
std::string shown(const JobRun& run) {
    static const char* const kNames[] = {"Checking", "UpToDate", "ReadyToInstall", "ReadyToUpdate",
                                         "Working",  "Offline",  "Failed",         "Restarting"};
    return std::string(kNames[number(run.last.state)]) + ": " + run.last.message;
}
const std::string kOffline = "Offline: Offline: playing what is installed";

TEST(SizeText, CountsInPowersOf1024) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 bytes"},      {1023, "1023 bytes"},   {1024, "1 KB"},
        {2048, "2 KB"},      {1048575, "1024 KB"},   {1048576, "1.0 MB"},
        {1572864, "1.5 MB"}, {1073741824, "1.0 GB"}, {UINT64_MAX, "17179869184.0 GB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(sizeText(bytes), text) << bytes;
}

class UpdaterEndToEnd : public UpdateFixture {
protected:
    const Files v1 = {{"veilstone", "#!/bin/sh\necho veilstone\n"},
                      {"data/a.bin", noise(70000, 1)},
                      {"data/b.txt", std::string(5000, 'b')}};

    Files installedFiles() const {  // every regular file in the game folder but the record
        Files files;
        const fs::path root = launcher + "/game";
        for (const auto& item : fs::recursive_directory_iterator(root))
            if (item.is_regular_file() && item.path().filename() != ".installed")
                files[fs::relative(item.path(), root).string()] = readText(item.path().string());
        return files;
    }
    std::string served() const { return readText(server + "/manifest-linux64.txt"); }

    void expectUpToDate(const JobRun& run, const std::string& version,
                        const std::string& message = "Up to date") {
        EXPECT_EQ(shown(run), "UpToDate: " + message);
        EXPECT_EQ(run.last.progress, -1.0);
        EXPECT_EQ(run.last.installedVersion, version);
        EXPECT_TRUE(run.last.gameInstalled);
        EXPECT_EQ(run.last.downloadBytes, 0u);
    }
};

// One game folder through its releases: a first install and a quick check; an update that adds,
// changes and drops files and turns a file into a folder and back; the same files again; damage
// only a verify sees; a record that cannot be read; an empty release.
TEST_F(UpdaterEndToEnd, OneGameFolderThroughInstallUpdateVerifyAndAnEmptyRelease) {
    Files old = v1;
    old["copy.bin"] = v1.at("data/a.bin");  // equal content: fetched once, copied
    old["drop.txt"] = "dropped";
    old["node"] = "a file that becomes a folder";
    old["tree/sub/leaf.txt"] = "a folder that becomes a file";
    publish(old, "1");
    serve();
    std::string url = nginx->url();
    url.pop_back();  // no trailing "/": the same request paths
    auto u = makeUpdater(url);

    // copy.bin is data/a.bin's content: fetched once, so counted once.
    const std::uint64_t packed = packedSize(
        {"data/a.bin", "data/b.txt", "drop.txt", "node", "tree/sub/leaf.txt", "veilstone"});
    EXPECT_EQ(shown(check(*u)), "ReadyToInstall: " + sizeText(packed) + " to download");
    EXPECT_EQ(logCount("launcher: latest 1, installed nothing"), 1u);
    const JobRun installed = install(*u);
    expectUpToDate(installed, "1");
    EXPECT_EQ(nginx->countRequests("/manifest-linux64.txt"), 1u);  // the checked one is reused
    EXPECT_EQ(nginx->countRequests("/objects/"), 6u);
    for (std::size_t i = 1; i + 1 < installed.changes.size(); ++i)  // the bar never goes back
        EXPECT_GE(installed.changes[i].progress, installed.changes[i - 1].progress) << i;
    EXPECT_EQ(installed.progressOf("Putting files in place"), 1.0);
    EXPECT_EQ(installedFiles(), old);
    EXPECT_EQ(fs::status(game("veilstone")).permissions(), fs::perms(0755));
    EXPECT_EQ(readText(game(".installed")), served());
    EXPECT_FALSE(fs::exists(launcher + "/.staging"));
    EXPECT_EQ(logCount("launcher: installed 1 (7 files replaced)"), 1u);
    EXPECT_EQ(check(*u).changes.size(), 2u);  // record and sizes agree: no file is read

    Files next = v1;
    next["copy.bin"] = v1.at("data/a.bin");
    next["data/a.bin"] = noise(70000, 3);  // same size, other content
    next["add.txt"] = "added";
    next["node/child.txt"] = "inside";
    next["tree"] = "now a file";
    publish(next, "2");
    const std::size_t objects = nginx->countRequests("/objects/");
    const std::uint64_t changed = packedSize({"add.txt", "data/a.bin", "node/child.txt", "tree"});
    EXPECT_EQ(shown(check(*u)), "ReadyToUpdate: " + sizeText(changed) + " to download");
    const JobRun updated = install(*u);
    expectUpToDate(updated, "2");
    EXPECT_EQ(updated.progressOf("Downloading 1 of 4: add.txt"), 0.0);
    EXPECT_EQ(nginx->countRequests("/objects/") - objects, 4u);
    EXPECT_EQ(installedFiles(), next);
    for (const char* dropped : {"drop.txt", "node", "tree/sub/leaf.txt"})
        EXPECT_EQ(logCount(std::string("launcher: removed ") + dropped), 1u) << dropped;
    publish(next, "3");
    EXPECT_EQ(shown(check(*u)), "ReadyToUpdate: Ready to update");
    expectUpToDate(install(*u), "3");
    EXPECT_EQ(logCount("launcher: installed 3 (0 files replaced)"), 1u);

    // A quick check trusts sizes; a verify reads every file and fetches what is wrong.
    std::string altered = next.at("data/a.bin");
    altered[100] ^= 1;
    writeText(game("data/a.bin"), altered);
    fs::remove(game("data/b.txt"));
    EXPECT_EQ(check(*u).last.message, sizeText(packedSize({"data/b.txt"})) + " to download");
    const JobRun repaired = verify(*u);
    expectUpToDate(repaired, "3", "Files verified");
    EXPECT_TRUE(repaired.saw(S::Working, "Downloading 1 of 2: data/a.bin"));
    EXPECT_TRUE(repaired.saw(S::Working, "Downloading 2 of 2: data/b.txt"));
    EXPECT_EQ(installedFiles(), next);

    // A FIFO as the record does not stall the job; the files being right, only it is rewritten.
    fs::remove(game(".installed"));
    ASSERT_EQ(mkfifo(game(".installed").c_str(), 0600), 0);
    const JobRun rescanned = check(*u);
    EXPECT_TRUE(rescanned.saw(S::Working, "Looking at what is already here"));
    expectUpToDate(rescanned, "3");
    EXPECT_EQ(nginx->countRequests("/objects/") - objects, 6u);
    EXPECT_EQ(readText(game(".installed")), served());

    publish({}, "3", {"--allow-empty"});
    expectUpToDate(check(*u), "3");  // a check compares versions only, and they are equal
    expectUpToDate(install(*u), "3");
    EXPECT_TRUE(installedFiles().empty());
    EXPECT_TRUE(fs::is_empty(game("data")));  // only the files go, not the player's folders
}

TEST_F(UpdaterEndToEnd, ARefusedPlaytesterKeyFallsBackToLiveAnAcceptedOneOpensTesting) {
    writeText(dir / "live.md", "Live news\n");
    writeText(dir / "testing.md", "Testing news\n");
    publish(v1, "1.0", {"--news", dir / "live.md"});
    publish(v1, "t1", {"--channel", "testing", "--news", dir / "testing.md"});
    serve("KEY-1");
    auto u = makeUpdater();
    fs::create_directory(launcher + "/.news");  // an empty folder gives way to the cache

    u->setChannel(Channel::Testing, "KEY-2");
    const JobRun refused = check(*u);
    EXPECT_EQ(shown(refused), "ReadyToInstall: Playtester key not accepted; showing Live");
    EXPECT_EQ(refused.last.keyState, KeyState::Refused);
    EXPECT_EQ(refused.last.news, "Live news\n");
    EXPECT_EQ(readText(launcher + "/.news"), readText(server + "/news.txt"));
    EXPECT_EQ(logCount("playtester key not accepted"), 2u);  // news, then manifest
    u->setChannel(Channel::Testing, "KEY-1");
    const JobRun found = check(*u);
    EXPECT_EQ(found.last.keyState, KeyState::Accepted);
    EXPECT_EQ(found.last.news, "Testing news\n");
    expectUpToDate(install(*u), "t1");
    std::size_t keyed = 0;  // the key goes with Testing requests only
    for (const std::string& line : nginx->accessLog()) {
        keyed += line.ends_with(" KEY-1");
        EXPECT_EQ(line.find(" /testing/") != std::string::npos, !line.ends_with(" -")) << line;
    }
    EXPECT_EQ(keyed, 2u);
    // Without a key there is no Testing channel; each channel's cached news is loaded for it.
    u->setChannel(Channel::Testing, "");
    EXPECT_EQ(u->status().news, "Live news\n");
    expectUpToDate(install(*u), "1.0");  // the Testing manifest is not kept for Live
    u->setChannel(Channel::Testing, "KEY-1");
    EXPECT_EQ(u->status().news, "Testing news\n");
}

// Over https the same walk holds: a playtester key opens Testing, an update replaces what changed
// and a verify repairs; the key travels encrypted, and only with Testing requests.
TEST_F(UpdaterEndToEnd, AnHttpsServerServesTheTestingKeyAnUpdateAndAVerify) {
    publish(v1, "1.0");
    publish(v1, "t1", {"--channel", "testing"});
    TestCa ca(dir / "ca");
    ASSERT_TRUE(ca.ok());
    setenv("SSL_CERT_FILE", ca.rootFile().c_str(), 1);
    nginx = std::make_unique<NginxServer>(server, "KEY-1");
    nginx->serveTls(ca.issue("server"));
    ASSERT_TRUE(nginx->start()) << nginx->errorLog();
    auto u = makeUpdater(nginx->secureUrl());
    u->setChannel(Channel::Testing, "KEY-1");
    EXPECT_EQ(check(*u).last.keyState, KeyState::Accepted);
    expectUpToDate(install(*u), "t1");
    Files next = v1;
    next["data/b.txt"] = "changed";
    publish(next, "t2", {"--channel", "testing"});
    check(*u);
    expectUpToDate(install(*u), "t2");
    writeText(game("data/b.txt"), "damaged");
    expectUpToDate(verify(*u), "t2", "Files verified");
    EXPECT_EQ(installedFiles(), next);
    for (const std::string& line : nginx->accessLog())
        EXPECT_EQ(line.find(" /testing/") != std::string::npos, line.ends_with(" KEY-1")) << line;
}

// Behind a caching proxy set up as docs/cdn.md says: objects come from the origin once for every
// launcher, a Testing manifest is never handed to a request without the key, and a manifest the
// cache still holds after a publish makes a launcher wait with what it has, while one that has
// seen the newer release never goes back.
TEST_F(UpdaterEndToEnd, BehindACachingProxyTestingIsNeverSharedAndAStaleManifestOnlyDelays) {
    publish(v1, "1");
    publish(v1, "t1", {"--channel", "testing"});
    serve("KEY-1");
    NginxServer cache(dir / "nothing", "");
    cache.cacheFor(nginx->url(), 20);
    ASSERT_TRUE(cache.start()) << cache.errorLog();
    auto a = makeUpdater(cache.url());
    expectUpToDate(install(*a), "1");
    Updater b(dir / "b", cache.url(), demoPublicKey());
    expectUpToDate(install(b), "1");
    EXPECT_EQ(nginx->countRequests("/objects/"), v1.size());

    a->setChannel(Channel::Testing, "KEY-1");
    EXPECT_EQ(check(*a).last.keyState, KeyState::Accepted);
    b.setChannel(Channel::Testing, "KEY-2");
    EXPECT_EQ(shown(check(b)), "UpToDate: Playtester key not accepted; showing Live");
    EXPECT_EQ(nginx->countRequests("/testing/manifest-linux64.txt"), 2u);

    Files next = v1;
    next["data/b.txt"] = "second";
    publish(next, "2");
    b.setChannel(Channel::Live, "");
    expectUpToDate(check(b), "1");  // the cache still offers release 1
    Updater direct(dir / "b", nginx->url(), demoPublicKey());
    expectUpToDate(install(direct), "2");
    EXPECT_EQ(shown(check(b)),
              "Offline: the server offered an older release than one this launcher has already "
              "seen");
    EXPECT_EQ(readText(dir / "b/game/data/b.txt"), "second");
}

TEST_F(UpdaterEndToEnd, ManifestsThatFailTheirChecksAreNeverUsed) {
    publish(v1, "1.0");
    serve();
    const std::string good = served();
    auto u = makeUpdater();
    expectUpToDate(install(*u), "1.0");
    writeText(launcher + "/.news", "e" + signWithDemoKey("Edited news cache\n").substr(1));
    EXPECT_EQ(makeUpdater()->status().news, "");  // a cache must pass its signature too

    const std::string body = writeManifest(serverManifest());
    std::uint8_t seed[kSeedBytes] = {7}, otherSecret[kSecretKeyBytes], otherPublic[kPublicKeyBytes];
    keyPairFromSeed(seed, otherSecret, otherPublic);
    std::string otherPlatform = body;
    otherPlatform.replace(otherPlatform.find("linux64"), 7, "win64");
    const std::string win64 = "Failed: the server offered a build for win64";
    const std::array<std::string, 3> cases[] = {
        {signText(body, otherSecret),
         "Failed: manifest-linux64.txt is not signed by the Veilstone release key", kOffline},
        {signWithDemoKey("hello\n"), "Failed: not a manifest this launcher can read", kOffline},
        {signWithDemoKey(body + std::string(launcher::kMaxSignedTextBytes, '\n')),
         "Failed: file larger than expected", kOffline},
        {signWithDemoKey(otherPlatform), win64, win64},
        {"", "Failed: not on the update server: /manifest-linux64.txt", kOffline},
    };
    Updater fresh(dir / "fresh", nginx->url(), demoPublicKey());
    for (const auto& [text, fails, offline] : cases) {
        fs::remove(server + "/manifest-linux64.txt");
        if (!text.empty()) writeText(server + "/manifest-linux64.txt", text);
        EXPECT_EQ(shown(check(fresh)), fails);
        EXPECT_EQ(shown(install(fresh)), fails);  // nothing was accepted: asked again
        EXPECT_FALSE(fs::exists(dir / "fresh/game")) << fails;
        EXPECT_EQ(shown(check(*u)), offline);
    }
    EXPECT_EQ(readText(game(".installed")), good);
    fs::remove(game(".installed"));  // the executable alone is not an installed game
    EXPECT_EQ(shown(check(*u)), "Failed: not on the update server: /manifest-linux64.txt");
}

// An object is tried three times; one that never arrives right fails the job, and what was
// fetched beside it stays staged for the next try.
TEST_F(UpdaterEndToEnd, BadObjectsAreTriedThreeTimesThenFail) {
    Files release = v1;
    release["data/c.txt"] = std::string(5000, 'c');  // data/b.txt's size, other content
    release["data/d.txt"] = std::string(5001, 'b');  // data/b.txt and one byte more
    publish(release, "1.0");
    serve();
    const std::string object = objectFile("data/b.txt");
    const std::string good = readText(object);
    const std::string warning = "launcher: object " + fs::path(object).filename().string();
    const std::array<std::string, 3> cases[] = {
        {readText(objectFile("data/c.txt")), "a download did not match the release",
         " hash mismatch (attempt "},
        {std::string(good.size(), 'x'), "a download arrived damaged",
         " did not decompress (attempt "},
        {readText(objectFile("data/d.txt")), "a download arrived damaged",
         " did not decompress (attempt "},
        {good + std::string(1025, '\0'), "file larger than expected", ", attempt "},  // > packed+1K
    };
    auto u = makeUpdater();
    for (const auto& [text, message, tried] : cases) {
        writeText(object, text);
        const std::string w = warning + tried;
        const std::size_t warned = logCount(w), third = logCount(w + "3");
        const JobRun run = install(*u);
        EXPECT_EQ(shown(run), "Failed: " + message);
        EXPECT_EQ(logCount(w) - warned, 3u) << message;
        EXPECT_EQ(logCount(w + "3") - third, 1u) << message;
        EXPECT_FALSE(fs::exists(game("data/a.bin"))) << message;  // nothing placed
    }
    EXPECT_EQ(nginx->countRequests(object.substr(server.size())), 12u);

    writeText(object, good);
    std::size_t staged = 0;
    std::string zeroed;  // a staged object a power cut emptied: its size is right, not its bytes
    for (const auto& item : fs::directory_iterator(launcher + "/.staging"))
        if (!item.path().string().ends_with(".part")) {
            zeroed = item.path().string();
            ++staged;
        }
    ASSERT_FALSE(zeroed.empty());
    writeText(zeroed, std::string(fs::file_size(zeroed), '\0'));
    --staged;
    std::uint64_t unstaged = 0;  // what is left to download counts neither staged nor zeroed
    for (const Entry& entry : serverManifest().files)
        if (hashFile(launcher + "/.staging/" + entry.hash) != entry.hash)
            unstaged += entry.packedSize;
    EXPECT_EQ(check(*u).last.message, sizeText(unstaged) + " to download");
    const std::size_t before = nginx->countRequests("/objects/");
    expectUpToDate(install(*u), "1.0");
    EXPECT_EQ(nginx->countRequests("/objects/") - before, release.size() - staged);
    EXPECT_EQ(installedFiles(), release);

    // A release that gives no packed sizes has no bytes to measure: no bar, not an empty one.
    Manifest unsized = serverManifest();
    for (Entry& entry : unsized.files) entry.packedSize = 0;
    writeText(server + "/manifest-linux64.txt", signWithDemoKey(writeManifest(unsized)));
    Updater fresh(dir / "fresh", nginx->url(), demoPublicKey());
    EXPECT_EQ(install(fresh).progressOf("Downloading 1 of 5: data/a.bin"), -1.0);
}

// Big files are built from the chunks their list names; a list that lies about them (sizes that
// do not add up, a chunk that is not what its hash says, an absurd length, a list that is not the
// object it is named after) fails with its sentence and installs nothing.
TEST_F(UpdaterEndToEnd, ChunkListsThatLieAreRefusedAndNothingIsInstalled) {
    publish(v1, "1");
    serve();
    const Manifest served = serverManifest();
    const Entry& a = *findFile(served, "data/a.bin");
    const auto object = [&](const std::string& name, const std::string& content) {
        uLongf length = compressBound(content.size());
        std::string packed(length, '\0');
        compress(reinterpret_cast<Bytef*>(packed.data()), &length,
                 reinterpret_cast<const Bytef*>(content.data()), content.size());
        packed.resize(length);
        const std::string hash = name.empty() ? hashBuffer(content.data(), content.size()) : name;
        writeText(server + "/objects/" + hash, packed);
        return Entry{hash, content.size(), length, ""};
    };
    const std::string fake(64, 'f');
    object(fake, noise(70000, 2));  // named for other bytes than its own
    const Chunk whole{a.hash, std::uint32_t(a.size), a.packedSize};
    const std::array<std::pair<std::vector<Chunk>, std::string>, 4> cases = {{
        {{whole}, "UpToDate: Up to date"},
        {{{a.hash, std::uint32_t(a.size - 1), a.packedSize}},
         "Failed: the chunks of data/a.bin do not add up to its size"},
        {{{fake, std::uint32_t(a.size), a.packedSize + 100}},
         "Failed: a download did not match the release"},
        {{}, "Failed: a download did not match the release"},  // the list is not its object
    }};
    int n = 0;
    for (const auto& [chunks, result] : cases) {
        Manifest chunked = served;
        Entry& file = *std::find_if(chunked.files.begin(), chunked.files.end(),
                                    [](const Entry& e) { return e.path == "data/a.bin"; });
        const Entry list = object(chunks.empty() ? fake : "", writeChunkList(chunks));
        file.chunksHash = list.hash;
        file.chunksSize = list.size;
        file.chunksPackedSize = list.packedSize;
        writeText(server + "/manifest-linux64.txt", signWithDemoKey(writeManifest(chunked)));
        const std::string folder = dir / ("chunked" + std::to_string(n++));
        Updater fresh(folder, nginx->url(), demoPublicKey());
        EXPECT_EQ(shown(install(fresh)), result);
        EXPECT_EQ(fs::exists(folder + "/game/data/a.bin"), result.starts_with("UpToDate"))
            << result;
    }
    Manifest absurd = served;
    absurd.files[1].chunksHash = fake;
    absurd.files[1].chunksSize = maxChunkListBytes(absurd.files[1].size) + 1;
    absurd.files[1].chunksPackedSize = 1;
    writeText(server + "/manifest-linux64.txt", signWithDemoKey(writeManifest(absurd)));
    Updater fresh(dir / "absurd", nginx->url(), demoPublicKey());
    const std::string refused = shown(install(fresh));
    EXPECT_TRUE(refused.starts_with("Failed: bad chunks line ")) << refused;
}

// A big file travels in chunks, never whole: installed from them, updated by fetching only the
// chunks a change touched (the rest come from the installed copy), and repaired by a verify that
// fetches only the chunk a damage lies in, its list kept from before.
TEST_F(UpdaterEndToEnd, ABigFileIsInstalledUpdatedAndRepairedByItsChunks) {
    Files files = v1;
    files["big.bin"] = noise(kChunkedFileBytes + (3 << 20), 7);
    publish(files, "1");
    serve();
    auto u = makeUpdater();
    expectUpToDate(install(*u), "1");
    const std::vector<Chunk> first = servedChunks("big.bin");
    ASSERT_GE(first.size(), 4u);
    EXPECT_EQ(nginx->countRequests("/objects/"), first.size() + 1 + v1.size());
    EXPECT_EQ(installedFiles(), files);

    files["big.bin"][files["big.bin"].size() / 2] ^= 1;
    publish(files, "2");
    std::vector<Chunk> changed;
    for (const Chunk& chunk : servedChunks("big.bin"))
        if (std::find(first.begin(), first.end(), chunk) == first.end()) changed.push_back(chunk);
    ASSERT_FALSE(changed.empty());
    EXPECT_LE(changed.size(), 2u);
    std::uint64_t bytes = 0;
    for (const Chunk& chunk : changed) bytes += chunk.packedSize;
    std::size_t objects = nginx->countRequests("/objects/");
    EXPECT_EQ(shown(check(*u)), "ReadyToUpdate: " + sizeText(bytes) + " to download");
    expectUpToDate(install(*u), "2");
    EXPECT_EQ(nginx->countRequests("/objects/") - objects, changed.size() + 1);
    EXPECT_EQ(installedFiles(), files);

    std::string damaged = files["big.bin"];
    damaged[10] ^= 1;  // in the first chunk (at most 4 MiB), which the change did not touch
    writeText(game("big.bin"), damaged);
    objects = nginx->countRequests("/objects/");
    expectUpToDate(verify(*u), "2", "Files verified");
    EXPECT_EQ(nginx->countRequests("/objects/") - objects, 1u);
    EXPECT_EQ(installedFiles(), files);
}

// A server may replay an older signed manifest, serve one channel's on the other's path, sign a
// second text under an accepted serial, or list names the launcher writes itself: each is refused,
// and what is installed stays playable. The launcher's own record of what it accepted fails
// closed: damage to it never lowers a floor below what the installed record proves.
TEST_F(UpdaterEndToEnd, ReplayedMisplacedAndSelfNamingReleasesAreRefused) {
    const std::string live = server + "/manifest-linux64.txt", serials = launcher + "/.serials";
    publish(v1, "1");
    const std::string first = readText(live);
    Files next = v1;
    next["data/b.txt"] = "second";
    publish(next, "2");
    publish(v1, "t1", {"--channel", "testing"});
    serve();
    auto u = makeUpdater();
    expectUpToDate(install(*u), "2");
    EXPECT_TRUE(readText(serials).starts_with("live 2 ")) << readText(serials);

    Manifest unnumbered = serverManifest(), resigned = serverManifest();
    unnumbered.serial = 0;
    unnumbered.channel.clear();
    resigned.files.pop_back();
    const std::string older =
        "the server offered an older release than one this launcher has already seen";
    const std::string another =
        "the server offered another release under a serial this launcher has already accepted";
    std::vector<std::array<std::string, 2>> cases = {
        {first, older},
        {signWithDemoKey(writeManifest(unnumbered)), older},
        {signWithDemoKey(writeManifest(resigned)), another},
        {readText(server + "/testing/manifest-linux64.txt"),
         "the server offered the testing release on the live channel"}};
    for (const std::string& name : kLauncherOwnedPaths) {
        Manifest selfNaming = serverManifest();
        selfNaming.files.push_back({selfNaming.files[0].hash, 1, 1, name});
        cases.push_back({signWithDemoKey(writeManifest(selfNaming)),
                         "the release lists " + name + ", a name the launcher keeps for itself"});
    }
    int n = 0;
    for (const auto& [text, message] : cases) {
        writeText(live, text);
        const std::size_t logged = logCount("launcher: " + message);
        EXPECT_EQ(shown(check(*u)), "Offline: " + message);
        EXPECT_EQ(shown(install(*u)), "Offline: " + message);
        EXPECT_EQ(installedFiles(), next) << message;
        EXPECT_EQ(logCount("launcher: " + message) - logged, 2u) << message;  // once per job
        // A launcher that has seen nothing has nothing to compare with, and nothing installed.
        Updater fresh(dir / ("fresh" + std::to_string(n++)), nginx->url(), demoPublicKey());
        EXPECT_EQ(check(fresh).last.state,
                  message == older || message == another ? S::ReadyToInstall : S::Failed)
            << message;
    }
    // Each channel is judged by its own record: testing's serial 1 is not older than live's 2.
    // Links planted at part files are replaced, never written through.
    fs::create_symlink(dir / "elsewhere", serials + ".part");
    fs::create_symlink(dir / "elsewhere", launcher + "/.news-testing.part");
    u->setChannel(Channel::Testing, "KEY-1");
    EXPECT_EQ(check(*u).last.state, S::ReadyToUpdate);
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
    const std::string record = readText(serials);
    ASSERT_EQ(linesStartingWith(record, "testing 1 ").size(), 1u) << record;

    // Whatever became of the record, the installed release's serial holds; what the damaged
    // record still proves (a line intact) is kept, the damaged bytes are kept aside.
    writeText(live, first);
    u->setChannel(Channel::Live, "");
    std::string flipped = record;
    flipped[2] ^= 1;
    const std::pair<std::string, std::function<void()>> damage[] = {
        {"flipped", [&] { writeText(serials, flipped); }},
        {"cut short", [&] { writeText(serials, record.substr(0, record.size() - 3)); }},
        {"empty", [&] { writeText(serials, ""); }},
        {"too large", [&] { writeText(serials, record + std::string(5000, '\n')); }},
        {"gone", [&] { fs::remove(serials); }},
        {"a folder", [&] { fs::remove(serials), fs::create_directory(serials); }},
        {"a pipe", [&] { fs::remove(serials), mkfifo(serials.c_str(), 0600); }},
    };
    for (const auto& [what, spoil] : damage) {
        spoil();
        EXPECT_EQ(shown(check(*u)), "Offline: " + older) << what;
        const std::string rebuilt = readText(serials);
        EXPECT_EQ(linesStartingWith(rebuilt, "live 2 ").size(), 1u) << what << ": " << rebuilt;
        EXPECT_EQ(rebuilt.find("testing 1 ") != std::string::npos, what == "flipped") << what;
        if (what == "flipped") EXPECT_EQ(readText(serials + ".damaged"), flipped);
        fs::remove(serials);
        writeText(serials, record);
    }
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
    fs::create_symlink(outside + "/record", game(".installed.part"));
    check(*u);
    expectUpToDate(install(*u), "2");
    EXPECT_FALSE(fs::exists(outside + "/record"));
    expectUpToDate(verify(*u), "2", "Files verified");  // nothing to fetch, nothing followed
    EXPECT_EQ(readText(outside + "/old.txt"), "the player's");
    EXPECT_EQ(readText(outside + "/a.bin"), "the player's too");
    EXPECT_EQ(installedFiles(), next);  // the folder walk does not follow links either
}

// What stands in the way of a file stops the install with its reason, and stays. An update that
// stops while files are put in place leaves no record, so going back to the release that was
// installed hashes every file instead of trusting sizes.
TEST_F(UpdaterEndToEnd, PlacementFailuresStopTheInstallAndAFolderLeftMixedIsNeverReportedCurrent) {
    publish(v1, "A");
    serve();
    const std::string manifestA = served();
    auto u = makeUpdater();
    writeText(launcher + "/.staging", "in the way");
    writeText(game("data"), "the player's");
    EXPECT_EQ(shown(install(*u)), "Failed: cannot write to " + launcher + "/.staging");
    fs::remove(launcher + "/.staging");
    EXPECT_EQ(shown(install(*u)), "Failed: cannot put data/a.bin in place");
    EXPECT_EQ(readText(game("data")), "the player's");
    fs::remove(game("data"));
    expectUpToDate(install(*u), "A");
    Files b = v1;
    b["data/a.bin"] = noise(70000, 5);  // same size, other content
    b["data/z.bin"] = "placed last";
    publish(b, "B");
    writeText(game("data/z.bin/keep"), "in the way");
    check(*u);
    const std::string failure = "cannot replace data/z.bin: close Veilstone and try again";
    EXPECT_EQ(shown(install(*u)), "Failed: " + failure);
    EXPECT_TRUE(readText(game("data/a.bin")) == b.at("data/a.bin"));
    EXPECT_FALSE(fs::exists(game(".installed")));

    writeText(server + "/manifest-linux64.txt", manifestA);
    fs::remove(launcher + "/.serials");  // as if A were the newer release again
    EXPECT_EQ(shown(check(*u)),
              "ReadyToInstall: " + sizeText(packedSize({"data/a.bin"})) + " to download");
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
    EXPECT_EQ(shown(install(second)), "Failed: " + taken);
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

bool waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 4000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
}

// Faults nginx does not produce on demand: statuses on chosen paths, a manifest that takes its
// time, a reply that stops in the middle.
using UpdaterFaults = UpdateFixture;

TEST_F(UpdaterFaults, StatusesDelaysAndStallsFromTheServer) {
    const Files release = {{"veilstone", "#!/bin/sh\n"}, {"data.bin", std::string(200000, 'd')}};
    publish(release, "1");
    publish(release, "t1", {"--channel", "testing"});
    FaultServer faults(server);
    const std::string data = "/objects/" + fs::path(objectFile("data.bin")).filename().string();
    auto u = makeUpdater(faults.url());

    // A 403 on Live is an ordinary failure; one for the Testing news alone says nothing of a key.
    faults.answerStatus("/manifest-linux64.txt", 403, 1);
    EXPECT_EQ(shown(check(*u)), "Failed: the update server said 403");
    faults.answerStatus("/testing/news.txt", 403);
    u->setChannel(Channel::Testing, "K-1");
    EXPECT_EQ(check(*u).last.keyState, KeyState::Accepted);
    EXPECT_EQ(logCount("launcher: news: playtester key not accepted"), 1u);

    // The Live manifest that arrives after a change to Testing is not installed there.
    u->setChannel(Channel::Live, "");
    faults.delay("/manifest-linux64.txt", 400, 1);
    const JobRun changed = runJob(*u, [&](Updater& x) {
        x.check(false);
        ASSERT_TRUE(waitFor([&] { return faults.count("/manifest-linux64.txt") == 2; }));
        x.setChannel(Channel::Testing, "K-1");
    });
    EXPECT_EQ(shown(changed), "Failed: no release to install");

    // A shutdown during a download ends the job at once, without a retry.
    faults.stallAfter(data, 100, 1);
    auto changes = std::make_shared<std::vector<UpdaterStatus>>();
    u->setStatusListener([changes](const UpdaterStatus& s) { changes->push_back(s); });
    u->update(false);
    ASSERT_TRUE(waitFor([&] { return faults.count(data) == 1; }));
    EXPECT_EQ(faults.count("/testing/manifest-linux64.txt"), 2u);  // asked again for Testing
    const std::string downloading = u->status().message;
    EXPECT_TRUE(downloading.starts_with("Downloading ")) << downloading;
    u->check(true);  // dropped while a job runs, and leaves its status alone
    EXPECT_EQ(u->status().message, downloading);
    const auto start = std::chrono::steady_clock::now();
    u.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_FALSE(changes->empty());
    EXPECT_EQ(changes->back().state, S::ReadyToUpdate);
    EXPECT_EQ(changes->back().message, "cancelled");
    EXPECT_EQ(faults.count(data), 1u);

    // An object that stops half way is fetched again.
    faults.stallAfter(data, 100, 1);
    u = makeUpdater(faults.url());
    EXPECT_EQ(shown(install(*u)), "UpToDate: Up to date");
    EXPECT_EQ(faults.count(data), 3u);
    EXPECT_EQ(logCount("launcher: object " + data.substr(9) +
                       ", attempt 1: the update server stopped answering"),
              1u);
    EXPECT_EQ(readText(game("data.bin")), release.at("data.bin"));
}

// A server that does not answer (refused, 503, silent until the idle limit) hands its requests
// to the next: the install completes from the mirror, which the log names, and no object is asked
// for more than once in all.
TEST_F(UpdaterFaults, AServerThatDoesNotAnswerHandsItsRequestsToTheMirror) {
    const Files release = {{"veilstone", "#!/bin/sh\n"}, {"data.bin", noise(50000, 9)}};
    publish(release, "1");
    serve();
    FaultServer unavailable(
        Script().send(reply("HTTP/1.1 503 Service Unavailable", {"Content-Length: 0"}, "")));
    FaultServer silent(Script().hang());
    for (const std::string& down :
         {std::string("http://127.0.0.1:9/"), unavailable.url(), silent.url()}) {
        fs::remove_all(launcher);
        const std::size_t objects = nginx->countRequests("/objects/");
        Updater u(launcher::UpdaterSetup{.installDir = launcher,
                                         .serverUrl = down,
                                         .mirrors = {nginx->url()},
                                         .releaseKey = demoPublicKey()});
        EXPECT_EQ(shown(install(u)), "UpToDate: Up to date") << down;
        EXPECT_EQ(nginx->countRequests("/objects/") - objects, release.size()) << down;
        EXPECT_EQ(
            logCount("launcher: " + down + " does not answer; asking " + nginx->url() + " first"),
            1u);
    }
    EXPECT_EQ(unavailable.count("/news.txt") + silent.count("/news.txt"), 2u);
    EXPECT_EQ(unavailable.requests().size() + silent.requests().size(), 2u);
    EXPECT_EQ(logCount("launcher: manifest-linux64.txt came from " + nginx->url()), 3u);
}

// A server that sends a byte a second never hits the idle limit; it is given up once the grace
// period is over, instead of holding the check for hours.
TEST_F(UpdaterFaults, ATrickleIsGivenUpAfterTheGracePeriod) {
    FaultServer trickle(Script()
                            .send("HTTP/1.1 200 OK\r\nContent-Length: 4194304\r\n\r\n")
                            .trickle(std::string(600, 'x'), 1000));
    trickle.answerStatus("/news.txt", 404);
    auto u = makeUpdater(trickle.url());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(shown(check(*u)), "Failed: the update server is too slow");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
}

}  // namespace
}  // namespace kd::test
