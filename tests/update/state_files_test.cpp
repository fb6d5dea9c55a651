// The engine's state files on a real disk: whole reads of regular files only, and writes through
// ".part" and a rename that replace what a rename can and leave nothing behind when they fail.
// What the engine writes in them, and how it takes damaged ones, is pinned in updater_test.
#include "update/state_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/temp_dir.h"
#include "update/updater.h"

namespace kd::launcher {
namespace {

namespace fs = std::filesystem;
using test::readText;
using test::writeText;

TEST(StateFiles, ReadWholeRegularFilesAndReplaceWhatRenameCanReplace) {
    test::TempDir dir;
    const std::string text = std::string("a\0b\r\n", 5);
    writeText(dir / "text", text);
    fs::create_directory(dir / "folder");
    mkfifo((dir / "fifo").c_str(), 0600);  // a blocking read would stall the job
    std::string out;
    EXPECT_TRUE(readFile(dir / "text", out, 5));
    EXPECT_EQ(out, text);
    for (const char* name : {"missing", "folder", "fifo", "text"})
        EXPECT_FALSE(readFile(dir / name, out, 4)) << name;
    EXPECT_EQ(out, text);

    // A read-only file, a stale read-only part file and an empty folder all give way.
    writeText(dir / "readonly", "old");
    chmod((dir / "readonly").c_str(), 0444);
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

    // A folder with something in it stays; nothing is left behind, nothing is created.
    writeText(dir / "full/inside", "keep");
    for (const char* name : {"full", "text/name", "missing/name"})
        EXPECT_FALSE(writeFileAtomic(dir / name, text.data(), text.size())) << name;
    EXPECT_EQ(readText(dir / "full/inside"), "keep");
    EXPECT_FALSE(fs::exists(dir / "full.part"));
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(SizeText, CountsInPowersOf1024) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 bytes"},      {1023, "1023 bytes"},   {1024, "1 KB"},
        {2048, "2 KB"},      {1048575, "1024 KB"},   {1048576, "1.0 MB"},
        {1572864, "1.5 MB"}, {1073741824, "1.0 GB"}, {UINT64_MAX, "17179869184.0 GB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(sizeText(bytes), text) << bytes;
}

}  // namespace
}  // namespace kd::launcher
