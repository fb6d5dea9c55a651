#include "release/manifest.h"

#include <gtest/gtest.h>

namespace kd {
namespace {

const std::string kHash(64, 'a');
const std::string kHeader = "veilstone-manifest 1\n";

std::string fileLine(const std::string& rest) { return "file " + kHash + " " + rest + "\n"; }

// Each refusal also drops what an earlier read left in the record.
TEST(Manifest, RefusesWithTheExactMessage) {
    std::string uncounted;  // lines the reader does not count ahead, so its path table grows
    for (int i = 0; i < 40; ++i) uncounted += " " + fileLine("1 1 f" + std::to_string(i));
    const struct {
        const char* name;
        std::string text, error;
    } cases[] = {
        {"empty text", "", "empty manifest"},
        {"header only", "veilstone-manifest 1", "manifest has no version"},
        {"header only with line feed", kHeader, "manifest has no version"},
        {"header with trailing space", "veilstone-manifest 1 \nversion 1\n",
         "not a manifest this launcher can read"},
        {"header with carriage return", "veilstone-manifest 1\r\nversion 1\n",
         "not a manifest this launcher can read"},
        {"other format number", "veilstone-manifest 1 2\nversion 1\n",
         "not a manifest this launcher can read"},
        {"header on line 2", "\n" + kHeader + "version 1\n",
         "not a manifest this launcher can read"},
        {"version without word", kHeader + "version\n", "manifest has no version"},
        {"launcher missing field", kHeader + "version 1\nlauncher " + kHash + " 1\n",
         "bad launcher line"},
        {"launcher bad number", kHeader + "version 1\nlauncher " + kHash + " 1 x\n",
         "bad launcher line"},
        {"launcher short hash", kHeader + "version 1\nlauncher " + std::string(63, 'a') + " 1 1\n",
         "bad launcher line"},
        {"line numbers count every line", kHeader + "\nversion 1\nfile " + kHash + "\n",
         "bad file line 4"},
        {"hash of 65 digits", kHeader + "file " + std::string(65, 'a') + " 1 1 a\n",
         "bad file line 2"},
        {"hash with a non-hex digit", kHeader + "file " + std::string(63, 'a') + "g 1 1 a\n",
         "bad file line 2"},
        {"size past 64 bits", kHeader + fileLine("18446744073709551616 1 a"), "bad file line 2"},
        {"negative size", kHeader + fileLine("-1 1 a"), "bad file line 2"},
        {"signed size", kHeader + fileLine("+1 1 a"), "bad file line 2"},
        {"missing path", kHeader + fileLine("1 1"), "bad file line 2"},
        {"blank path", kHeader + fileLine("1 1   "), "bad file line 2"},
        {"path ends in carriage return", kHeader + "file " + kHash + " 1 1 a\r\nversion 1\n",
         "bad file line 2"},
        {"serial zero", kHeader + "version 1\nserial 0\n", "bad serial line"},
        {"serial without number", kHeader + "version 1\nserial\n", "bad serial line"},
        {"serial not decimal", kHeader + "version 1\nserial 0x10\n", "bad serial line"},
        {"serial past 64 bits", kHeader + "version 1\nserial 18446744073709551616\n",
         "bad serial line"},
        {"file listed twice", kHeader + "version 1\n" + fileLine("1 1 a/b") + fileLine("2 2 a/b"),
         "file listed twice: a/b"},
        {"file listed twice after the table grew",
         kHeader + "version 1\n" + uncounted + fileLine("1 1 f7"), "file listed twice: f7"},
        {"file listed twice, then a bad file line",
         kHeader + "version 1\n" + fileLine("1 1 a/b") + fileLine("2 2 a/b") + fileLine("1 1"),
         "file listed twice: a/b"},
        {"file listed twice, then a bad serial line",
         kHeader + "version 1\n" + fileLine("1 1 a/b") + fileLine("2 2 a/b") + "serial 0\n",
         "file listed twice: a/b"},
    };
    for (const auto& c : cases) {
        Manifest manifest{.version = "stale", .files = {{kHash, 1, 1, "stale"}}};
        std::string error;
        EXPECT_FALSE(parseManifest(c.text, manifest, error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
        EXPECT_TRUE(manifest.version != "stale" && !findFile(manifest, "stale")) << c.name;
    }
}

TEST(Manifest, UnsafePathsFailTheirLineAndOddButSafeOnesPass) {
    for (const char* path : {"../x", "./x", "a/./b", "a/../b", "/abs", "dir/", "a//b", "C:x",
                             "a\\b", "..", ".", "a/..", "tab\there", "del\x01"}) {
        Manifest manifest;
        std::string error;
        EXPECT_FALSE(parseManifest(kHeader + "version 1\n" + fileLine(std::string("1 1 ") + path),
                                   manifest, error))
            << path;
        EXPECT_EQ(error, "bad file line 3") << path;
        EXPECT_FALSE(isSafePath(path)) << path;
    }
    for (const char* path : {"...", ".config/x", "a..b/c", "x y", "\x7f", "n\xc3\xa4me", "a/b/c"})
        EXPECT_TRUE(isSafePath(path)) << path;
    EXPECT_FALSE(isSafePath(""));
}

TEST(Manifest, ReadsFieldsAsWritten) {
    const std::string upper(64, 'F');
    const std::string text = kHeader + "# a comment line\nfiles are ignored\nFile too\n" +
                             "\tplatform   linux64  extra\nversion 1.2 beta\nversion 1.3\r\n" +
                             "channel testing later\nserial  18446744073709551615\n" + "launcher " +
                             upper + " 10 7 ignored words\n" + "file " + kHash +
                             "\t18446744073709551615  3    data/my level 1.bin  \n" +
                             fileLine("0 0 a/b") + "file " + kHash + " 0 0 a/B";
    Manifest m;
    std::string error;
    ASSERT_TRUE(parseManifest(text, m, error)) << error;
    EXPECT_EQ(m.platform, "linux64");
    EXPECT_EQ(m.version, "1.3");  // the carriage return is white space on these lines
    EXPECT_EQ(m.channel, "testing");
    EXPECT_EQ(m.serial, UINT64_MAX);
    EXPECT_EQ(m.launcher, (Entry{upper, 10, 7, ""}));
    ASSERT_EQ(m.files.size(), 3u);
    EXPECT_EQ(m.files[0], (Entry{kHash, UINT64_MAX, 3, "data/my level 1.bin  "}));
    EXPECT_EQ(m.files[2].path, "a/B");
    // Look-ups that keep the manifest's order, that skip ahead, go back, miss, and miss first.
    FileIndex index(m);
    EXPECT_EQ(index.find("a/b"), &m.files[1]);
    EXPECT_EQ(index.find("a/B"), &m.files[2]);
    EXPECT_EQ(index.find("A/b"), nullptr);
    EXPECT_EQ(index.find(m.files[0].path), &m.files[0]);
    EXPECT_EQ(index.find("a/b"), &m.files[1]);
    EXPECT_EQ(index.find("a/b"), &m.files[1]);
    EXPECT_EQ(FileIndex(m).find("a/B"), &m.files[2]);
    FileIndex inOrder(m);
    EXPECT_EQ(inOrder.find(m.files[0].path), &m.files[0]);
    EXPECT_EQ(inOrder.find("a/"), nullptr);
    EXPECT_EQ(inOrder.find("a/b"), &m.files[1]);
    // The walk over another list: longer than its look-ahead, out of order in places, with paths
    // this manifest lacks, and one of ours twice.
    std::vector<Entry> wanted;
    for (int i = 0; i < 40; ++i) wanted.push_back({kHash, 0, 0, m.files[i % 3].path});
    wanted[5].path = "a/c";
    wanted[6].path = wanted[4].path;
    wanted.back().path = "a";
    const std::vector<const Entry*> found = FileIndex(m).findEach(wanted);
    ASSERT_EQ(found.size(), wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i)
        EXPECT_EQ(found[i], findFile(m, wanted[i].path)) << i;
}

}  // namespace
}  // namespace kd
