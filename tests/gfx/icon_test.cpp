// readIconFile on icon files built here and one written by another writer: which entries are
// used, how their pixels come out, and that damaged files are survived quietly.
#include "gfx/icon.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/gfx/ico_builder.h"
#include "tests/gfx/log_capture.h"

namespace kd {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;
using test::buildIco;
using test::IcoEntry;
using test::LogCapture;
using test::squareEntry;

class IconTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/veilstone-gfx-icon-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        path_ = folder_ + "/veilstone.ico";
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::vector<IconImage> read(const Bytes& file) {
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
        return readIconFile(path_);
    }

    std::string folder_, path_;
};

TEST_F(IconTest, PngEntriesAreSkippedAndSizeZeroMeans256) {
    IcoEntry png = squareEntry(0);
    png.png = true;
    std::vector<IconImage> images = read(buildIco({png, squareEntry(32), squareEntry(0)}));
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].width, 32);
    EXPECT_EQ(images[0].pixels.size(), 32u * 32u * 4u);
    EXPECT_EQ(images[1].width, 256);
    EXPECT_EQ(images[1].height, 256);
}

TEST_F(IconTest, RowsComeOutTopFirstWithRedAndBlueSwapped) {
    IcoEntry e;  // 2 x 2, stored bottom row first, each pixel B, G, R, A
    e.pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    e.headerBytes = 108;  // a longer header is skipped over to the pixels
    std::vector<IconImage> images = read(buildIco({e}));
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].pixels, (Bytes{11, 10, 9, 12, 15, 14, 13, 16, 3, 2, 1, 4, 7, 6, 5, 8}));
}

TEST_F(IconTest, EntriesThatAreNotPlain32BitBitmapsOfTheirSizeAreSkipped) {
    const struct {
        const char* name;
        void (*spoil)(IcoEntry&);
        bool used;
    } cases[] = {
        {"as built", [](IcoEntry&) {}, true},
        {"stored height one more, halved down", [](IcoEntry& e) { e.storedHeight = 5; }, true},
        {"stored height without mask rows", [](IcoEntry& e) { e.storedHeight = 2; }, false},
        {"top-down rows", [](IcoEntry& e) { e.storedHeight = -4; }, false},
        {"bitmap width differs", [](IcoEntry& e) { e.bitmapWidth = 3; }, false},
        {"24 bits", [](IcoEntry& e) { e.bitCount = 24; }, false},
        {"compressed", [](IcoEntry& e) { e.compression = 3; }, false},
        {"header too small", [](IcoEntry& e) { e.headerBytes = 39; }, false},
        {"header beyond the image", [](IcoEntry& e) { e.headerBytes = 0xFFFFFFF0; }, false},
        {"size one byte short of the pixels", [](IcoEntry& e) { e.size = 40 + 15; }, false},
        {"size just holding the pixels", [](IcoEntry& e) { e.size = 40 + 16; }, true},
        {"size below a header", [](IcoEntry& e) { e.size = 39; }, false},
        {"offset past the end", [](IcoEntry& e) { e.offset = 100000; }, false},
        {"offset plus size past 32 bits", [](IcoEntry& e) { e.offset = 0xFFFFFFF0, e.size = 0x20; },
         false},
        {"offset at the file header", [](IcoEntry& e) { e.offset = 0; }, false},
    };
    for (const auto& c : cases) {
        IcoEntry e;
        c.spoil(e);
        EXPECT_EQ(read(buildIco({e})).size(), c.used ? 1u : 0u) << c.name;
    }
}

TEST_F(IconTest, DirectoryIsReadOnlyAsFarAsTheFileGoes) {
    LogCapture log;
    EXPECT_EQ(read(buildIco({squareEntry(16), squareEntry(32)}, 5)).size(), 2u);
    EXPECT_EQ(read(buildIco({squareEntry(16)}, 65535)).size(), 1u);
    Bytes cut = buildIco({squareEntry(16), squareEntry(16)});
    cut.resize(6 + 16 + 10);  // ends inside the second entry; the first's image is gone too
    EXPECT_TRUE(read(cut).empty());
    EXPECT_TRUE(read(buildIco({}, 0)).empty());
    EXPECT_TRUE(read(buildIco({}, 1)).empty());  // header only
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(IconTest, MissingFilesAndFilesThatAreNotIconsGiveNothing) {
    const Bytes notIcons[] = {{},
                              {0, 0, 1, 0, 1},
                              buildIco({squareEntry(16)}, -1, 2),
                              {'G', 'I', 'F', '8', '9', 'a', 1, 0}};
    for (const Bytes& file : notIcons) {
        LogCapture log;
        EXPECT_TRUE(read(file).empty());
        EXPECT_EQ(log.messages("warn"), Strings{path_ + " is not an icon file"});
    }
    LogCapture log;
    EXPECT_TRUE(readIconFile(folder_ + "/nothing.ico").empty());
    EXPECT_TRUE(readIconFile(folder_).empty());  // a folder in the file's place
    EXPECT_EQ(log.messages("dbg"), Strings{"No window icon at " + folder_ + "/nothing.ico"});
}

TEST(IconFile, IconFromAnotherWriterGivesItsTwoBitmaps) {
    // 16 x 16 and 32 x 32 bitmaps of a gold diamond on transparency, then a 48 x 48 PNG entry.
    std::vector<IconImage> images = readIconFile(VEILSTONE_ICON_SEEDS_DIR "/stone-16-32-png48.ico");
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].width, 16);
    EXPECT_EQ(images[1].height, 32);
    auto at = [&](int x, int y) {
        const std::uint8_t* p = &images[1].pixels[std::size_t(y * 32 + x) * 4];
        return Bytes(p, p + 4);
    };
    EXPECT_EQ(at(0, 0), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(at(16, 1), (Bytes{242, 201, 117, 128}));  // a half-transparent rim
    EXPECT_EQ(at(16, 29), (Bytes{170, 102, 35, 255}));  // dark gold near the bottom
}

}  // namespace
}  // namespace kd
