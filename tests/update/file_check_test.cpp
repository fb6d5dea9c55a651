// The pieces of a job that decide on their own: whether a file on disk needs a download, and the
// size text.
#include <gtest/gtest.h>

#include <filesystem>

#include "release/crypto.h"
#include "tests/support/temp_dir.h"
#include "update/updater.h"
#include "update/updater_internal.h"

namespace kd::launcher {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::writeText;

Entry entryFor(const std::string& path, const std::string& content) {
    return Entry{hashBuffer(content.data(), content.size()), content.size(), 1, path};
}

TEST(FileIsCurrent, QuickTrustsTheRecordDeepReadsTheFile) {
    TempDir dir;
    const std::string content = "0123456789";
    writeText(dir / "same", content);
    writeText(dir / "altered", "0123456780");  // same size, other bytes
    writeText(dir / "short", "012345678");
    fs::create_directories(dir / "folder");

    Manifest installed;
    for (const char* path : {"same", "altered", "short", "folder", "missing"})
        installed.files.push_back(entryFor(path, content));
    installed.files.push_back(entryFor("rehashed", "old release"));
    writeText(dir / "rehashed", content);  // already the new content, but recorded as old

    struct Case {
        const char* path;
        bool quick;
        bool deep;
    };
    const Case cases[] = {
        {"same", true, true},     {"altered", true, false},  {"short", false, false},
        {"folder", false, false}, {"missing", false, false}, {"rehashed", false, true},
    };
    for (const Case& c : cases) {
        const Entry entry = entryFor(c.path, content);
        EXPECT_EQ(fileIsCurrent(dir.path(), entry, &installed, false), c.quick) << c.path;
        EXPECT_EQ(fileIsCurrent(dir.path(), entry, &installed, true), c.deep) << c.path;
        const Manifest* none = nullptr;
        EXPECT_EQ(fileIsCurrent(dir.path(), entry, none, true), c.deep) << c.path;
        // With no record a quick test cannot vouch for any content.
        EXPECT_FALSE(fileIsCurrent(dir.path(), entry, none, false)) << c.path;
    }
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
