// The headless driver as a separate process: its output, and an install killed half-way and
// started again.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "release/crypto.h"
#include "tests/support/child_process.h"
#include "tests/update/update_fixture.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;

class DriverTest : public UpdateFixture {};

TEST_F(DriverTest, PrintsEveryStatusChangeThenTheFinalStatus) {
    publish({{"veilstone", "#!/bin/sh\n"}, {"a.txt", "alpha"}}, "7");
    serve();
    int status = -1;
    std::string out = runDriver("check --no-self-update", &status);
    EXPECT_EQ(status, 0);
    const std::string packed = std::to_string(packedSize({"veilstone", "a.txt"}));
    const std::vector<std::string> expected = {
        "status 0 -1.0000 Looking for updates",
        "status 4 0.0000 Looking at what is already here",
        "status 2 -1.0000 " + packed + " bytes to download",
    };
    EXPECT_EQ(linesStartingWith(out, "status "), expected) << out;
    EXPECT_EQ(linesStartingWith(out, "final "),
              std::vector<std::string>{"final state=2 progress=-1.0000 channel=0 key=0 installed= "
                                       "latest=7 download=" +
                                       packed + " game=0 message=" + packed + " bytes to download"})
        << out;

    out = runDriver("install --no-self-update", &status);
    EXPECT_EQ(linesStartingWith(out, "status ").back(), "status 1 -1.0000 Up to date");
    nginx->stop();
    fs::remove_all(launcher);
    runDriver("check --no-self-update", &status);
    EXPECT_EQ(status, 1);  // nothing installed, no server
    runShell(shellQuote(VEILSTONE_UPDATER_DRIVER) + " " + shellQuote(launcher), &status);
    EXPECT_EQ(status, 2);
}

// A game folder on a file system of its own: objects staged beside it cannot be renamed across,
// so they are copied, and an update never loses the file it replaces.
TEST_F(DriverTest, InstallsAndUpdatesAGameFolderOnAnotherFileSystem) {
    if (runShell("unshare -rm true 2>&1") != "")
        GTEST_SKIP() << "no mount namespace here to put the game folder on a tmpfs";
    publish({{"veilstone", "#!/bin/sh\n"}, {"a.txt", "live"}}, "1");
    publish({{"veilstone", "#!/bin/sh\n"}, {"a.txt", "testing"}}, "t1", {"--channel", "testing"});
    serve();
    fs::create_directories(launcher + "/game");
    const std::string driver = shellQuote(VEILSTONE_UPDATER_DRIVER) + " " + shellQuote(launcher) +
                               " " + shellQuote(nginx->url()) + " " + demoPublicKeyHex();
    const std::string out =
        runShell("unshare -rm sh -c " +
                 shellQuote("mount -t tmpfs none " + shellQuote(launcher + "/game") + " && " +
                            driver + " install --no-self-update && " + driver +
                            " install --channel testing --key KEY-1 --no-self-update && cat " +
                            shellQuote(launcher + "/game/a.txt")) +
                 " 2>&1");
    EXPECT_EQ(linesStartingWith(out, "status 1 -1.0000 Up to date").size(), 2u) << out;
    EXPECT_TRUE(out.ends_with("\ntesting")) << out;
    EXPECT_EQ(out.find("cannot put"), std::string::npos) << out;
}

TEST_F(DriverTest, KilledInstallResumesWithoutFetchingStagedObjectsAgain) {
    constexpr int kFiles = 300;
    Files files = {{"veilstone", "#!/bin/sh\n"}};
    for (int i = 0; i < kFiles; ++i) files["data/" + std::to_string(1000 + i)] = noise(16384, i);
    publish(files, "1");
    serve();
    const Manifest manifest = serverManifest();

    const std::string firstOut = dir / "first.out";
    {
        ChildProcess first(
            {VEILSTONE_UPDATER_DRIVER, launcher, nginx->url(), demoPublicKeyHex(), "install"},
            dir.path(), {}, firstOut);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (readText(firstOut).find("Downloading 60 of") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        first.kill(SIGKILL);
        first.wait(10000);
    }
    ASSERT_TRUE(linesStartingWith(readText(firstOut), "final ").empty()) << "finished too soon";
    // Let nginx log the request the kill cut off.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // Nothing half-written under a final name: no game file yet, every staged object whole.
    std::set<std::string> staged;
    std::uint64_t stagedPacked = 0, totalPacked = 0;
    for (const auto& item : fs::directory_iterator(launcher + "/.staging")) {
        const std::string name = item.path().filename().string();
        if (name.ends_with(".part")) continue;
        EXPECT_EQ(hashFile(item.path().string()), name);
        staged.insert(name);
    }
    for (const Entry& entry : manifest.files) {
        totalPacked += entry.packedSize;
        if (staged.count(entry.hash)) stagedPacked += entry.packedSize;
        EXPECT_FALSE(fs::exists(game(entry.path))) << entry.path;
    }
    ASSERT_GE(staged.size(), 50u);
    ASSERT_LT(staged.size(), manifest.files.size());

    const std::size_t logBefore = nginx->accessLog().size();
    int status = -1;
    const std::string out = runDriver("install --no-self-update", &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(linesStartingWith(out, "status ").back(), "status 1 -1.0000 Up to date");

    std::multiset<std::string> fetched;
    const std::vector<std::string> log = nginx->accessLog();
    for (std::size_t i = logBefore; i < log.size(); ++i) {
        const std::size_t at = log[i].find(" /objects/");
        if (at != std::string::npos) fetched.insert(log[i].substr(at + 10, 64));
    }
    std::multiset<std::string> missing;
    for (const Entry& entry : manifest.files)
        if (!staged.count(entry.hash)) missing.insert(entry.hash);
    EXPECT_EQ(fetched, missing);

    // The bar starts at what was already staged.
    const std::vector<std::string> downloads = linesStartingWith(out, "status 4 ");
    const auto firstDownload = std::find_if(
        downloads.begin(), downloads.end(),
        [](const std::string& l) { return l.find(" Downloading ") != std::string::npos; });
    ASSERT_NE(firstDownload, downloads.end());
    EXPECT_NEAR(std::stod(firstDownload->substr(9)), double(stagedPacked) / double(totalPacked),
                1e-4);

    for (const Entry& entry : manifest.files)
        EXPECT_EQ(hashFile(game(entry.path)), entry.hash) << entry.path;
    EXPECT_FALSE(fs::exists(launcher + "/.staging"));
}

// An update killed while its files are put in place, then the server offers the old release
// again: the folder may hold both releases, and only a folder that really is the old release may
// be reported current.
TEST_F(DriverTest, UpdateKilledWhilePlacingIsNeverReportedCurrentWhenMixed) {
    Files a = {{"veilstone", "#!/bin/sh\n"}}, b = a;
    for (int i = 0; i < 400; ++i) {
        a["data/" + std::to_string(i)] = noise(4096, i);
        b["data/" + std::to_string(i)] = noise(4096, i + 1000);  // same sizes, other content
    }
    publish(a, "A");
    serve();
    runDriver("install --no-self-update");
    const std::string manifestFile = server + "/manifest-linux64.txt";
    const std::string manifestA = readText(manifestFile);
    const Manifest releaseA = serverManifest();
    publish(b, "B");
    const std::string out = dir / "placing.out";
    {
        ChildProcess update({VEILSTONE_UPDATER_DRIVER, launcher, nginx->url(), demoPublicKeyHex(),
                             "install", "--no-self-update"},
                            dir.path(), {}, out);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (readText(out).find("Putting files in place") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        update.kill(SIGKILL);
        update.wait(10000);
    }
    writeText(manifestFile, manifestA);
    fs::remove(launcher + "/.serials");  // as if A were the newest release again
    bool allA = true;
    for (const Entry& entry : releaseA.files)
        allA = allA && hashFile(game(entry.path)) == entry.hash;
    const std::string check = runDriver("check --no-self-update");
    EXPECT_EQ(linesStartingWith(check, "status 1 -1.0000 Up to date").size(), allA ? 1u : 0u)
        << check;
    runDriver("install --no-self-update");
    for (const Entry& entry : releaseA.files)
        EXPECT_EQ(hashFile(game(entry.path)), entry.hash) << entry.path;
}

}  // namespace
}  // namespace kd::test
