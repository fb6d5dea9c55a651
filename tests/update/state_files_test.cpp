// The engine's state files on a real disk: whole reads, writes through ".part" and rename, and
// the cached news the Updater loads without a job.
#include "update/state_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/update/update_fixture.h"
#include "update/updater.h"
#include "update/updater_internal.h"

namespace kd::launcher {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::TempDir;
using test::writeText;

TEST(ReadFile, ReadsWholeFilesAndRefusesWhatNoStateFileCanBe) {
    TempDir dir;
    writeText(dir / "empty", "");
    writeText(dir / "text", std::string("a\0b\r\n", 5));
    writeText(dir / "big", std::string(101, 'x'));
    fs::create_directory(dir / "folder");
    mkfifo((dir / "fifo").c_str(), 0600);

    std::string out = "old";
    EXPECT_TRUE(readFile(dir / "empty", out, 100));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(readFile(dir / "text", out, 100));
    EXPECT_EQ(out, std::string("a\0b\r\n", 5));
    EXPECT_TRUE(readFile(dir / "big", out, 101));
    out = "kept";
    for (const char* name : {"missing", "folder", "fifo"})
        EXPECT_FALSE(readFile(dir / name, out, 100)) << name;
    EXPECT_FALSE(readFile(dir / "big", out, 100));
    EXPECT_EQ(out, "kept");
}

TEST(WriteFileAtomic, ReplacesWhatRenameCanReplace) {
    TempDir dir;
    const std::string text = "new content";
    // New file; read-only file; stale read-only part file; empty folder.
    writeText(dir / "readonly", "old");
    chmod((dir / "readonly").c_str(), 0444);
    writeText(dir / "stale", "old");
    writeText(dir / "stale.part", "half");
    chmod((dir / "stale.part").c_str(), 0444);
    fs::create_directory(dir / "emptyfolder");
    for (const char* name : {"fresh", "readonly", "stale", "emptyfolder"}) {
        EXPECT_TRUE(writeFileAtomic(dir / name, text.data(), text.size())) << name;
        EXPECT_EQ(readText(dir / name), text) << name;
        EXPECT_FALSE(fs::exists(dir / (std::string(name) + ".part"))) << name;
    }
    struct stat info {};
    ASSERT_EQ(stat((dir / "fresh").c_str(), &info), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0644u & ~mask);
}

TEST(WriteFileAtomic, FailsWithoutLeavingPartsBehind) {
    TempDir dir;
    writeText(dir / "full/inside", "keep");
    writeText(dir / "notafolder", "file");
    const std::string text = "x";
    EXPECT_FALSE(writeFileAtomic(dir / "full", text.data(), text.size()));
    EXPECT_EQ(readText(dir / "full/inside"), "keep");
    EXPECT_FALSE(fs::exists(dir / "full.part"));
    EXPECT_FALSE(writeFileAtomic(dir / "notafolder/name", text.data(), text.size()));
    EXPECT_FALSE(writeFileAtomic(dir / "missing/name", text.data(), text.size()));
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(UpdaterNews, LoadsOnlyVerifiedCachesOfTheShownChannel) {
    TempDir dir;
    const std::string live = test::signWithDemoKey("Live news\n");
    const std::string testing = test::signWithDemoKey("Testing news\n");
    writeText(dir / kNewsCacheLive, live);
    writeText(dir / kNewsCacheTesting, testing);
    {
        Updater updater(dir.path(), "http://127.0.0.1:1/", test::demoPublicKey());
        UpdaterStatus s = updater.status();
        EXPECT_EQ(s.news, "Live news\n");
        EXPECT_EQ(s.state, 0u);
        EXPECT_EQ(s.message, "");
        EXPECT_EQ(s.progress, -1.0);
        EXPECT_FALSE(s.gameInstalled);

        updater.setChannel(1, "KEY");
        s = updater.status();
        EXPECT_EQ(s.news, "Testing news\n");
        EXPECT_EQ(s.shownChannel, 1u);
        EXPECT_EQ(s.keyState, 1u);

        // Without a key there is no Testing channel.
        updater.setChannel(1, "");
        s = updater.status();
        EXPECT_EQ(s.news, "Live news\n");
        EXPECT_EQ(s.shownChannel, 0u);
        EXPECT_EQ(s.keyState, 0u);
    }
    // A hand-edited cache fails its signature; one larger than any text the server may send is
    // not even read.
    std::string edited = live;
    edited[0] = 'l';
    writeText(dir / kNewsCacheLive, edited);
    EXPECT_EQ(Updater(dir.path(), "", test::demoPublicKey()).status().news, "");
    writeText(dir / kNewsCacheLive, test::signWithDemoKey(std::string(kMaxSignedTextBytes, '\n')));
    EXPECT_EQ(Updater(dir.path(), "", test::demoPublicKey()).status().news, "");
}

}  // namespace
}  // namespace kd::launcher
