// readIconFile on icon files built here, each field open to damage, and on one written by another
// writer: which entries are used, how their pixels come out, and that damaged files are survived
// quietly.
#include "gfx/icon.h"

#include <gtest/gtest.h>

#include "tests/gfx/log_capture.h"
#include "tests/support/temp_dir.h"

namespace kd {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

struct IcoEntry {
    std::uint8_t side = 2;  // directory width and height; 0 means 256
    std::uint32_t bitmapWidth = 2;
    std::int32_t storedHeight = 4;   // colour rows plus mask rows
    std::uint32_t headerBytes = 40;  // only 40..1024 are really written
    std::uint16_t bitCount = 32;
    std::uint32_t compression = 0;
    bool png = false;                     // a PNG-compressed entry instead of a bitmap
    Bytes pixels;                         // B, G, R, A, bottom row first; zeros when short
    std::int64_t size = -1, offset = -1;  // directory overrides
};

void putLe(Bytes& out, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(std::uint8_t(v >> (8 * i)));
}

IcoEntry square(std::uint8_t side) {
    IcoEntry e;
    e.side = side;
    e.bitmapWidth = side ? side : 256;
    e.storedHeight = 2 * std::int32_t(e.bitmapWidth);
    return e;
}

// count: the directory's claim, by default the number of entries.
Bytes buildIco(const std::vector<IcoEntry>& entries, int count = -1, std::uint16_t type = 1) {
    Bytes file, images;
    putLe(file, type << 16, 4);
    putLe(file, count < 0 ? std::uint32_t(entries.size()) : std::uint32_t(count), 2);
    for (const IcoEntry& e : entries) {
        Bytes image;
        std::uint32_t side = e.side ? e.side : 256;
        if (e.png) {
            image = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
            image.resize(200, 0xAB);
        } else {
            for (std::uint32_t field : {e.headerBytes, e.bitmapWidth, std::uint32_t(e.storedHeight),
                                        1u | std::uint32_t(e.bitCount) << 16, e.compression})
                putLe(image, field, 4);
            image.resize(e.headerBytes >= 40 && e.headerBytes <= 1024 ? e.headerBytes : 40, 0);
            Bytes pixels = e.pixels;
            pixels.resize(std::size_t(side) * side * 4, 0);
            image.insert(image.end(), pixels.begin(), pixels.end());
            image.resize(image.size() + (side + 31) / 32 * 4 * side, 0);  // AND mask
        }
        file.insert(file.end(), {e.side, e.side, 0, 0});
        putLe(file, 1u | std::uint32_t(e.bitCount) << 16, 4);
        putLe(file, e.size >= 0 ? std::uint32_t(e.size) : std::uint32_t(image.size()), 4);
        putLe(file,
              e.offset >= 0 ? std::uint32_t(e.offset)
                            : std::uint32_t(6 + 16 * entries.size() + images.size()),
              4);
        images.insert(images.end(), image.begin(), image.end());
    }
    file.insert(file.end(), images.begin(), images.end());
    return file;
}

class IconFile : public ::testing::Test {
protected:
    std::vector<IconImage> read(const Bytes& file) {
        test::writeText(path_, std::string(file.begin(), file.end()));
        return readIconFile(path_);
    }
    test::TempDir dir_;
    std::string path_ = dir_ / "veilstone.ico";
};

TEST_F(IconFile, TakesPlain32BitBitmapsTopRowFirstInRgbaAndSkipsPngEntries) {
    IcoEntry png = square(0), small;
    png.png = true;
    small.pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    small.headerBytes = 108;  // a longer header is skipped over to the pixels
    std::vector<IconImage> images = read(buildIco({png, small, square(0)}));
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].pixels, (Bytes{11, 10, 9, 12, 15, 14, 13, 16, 3, 2, 1, 4, 7, 6, 5, 8}));
    EXPECT_EQ(images[1].width, 256);  // size 0 in the directory
    EXPECT_EQ(images[1].height, 256);
    EXPECT_EQ(images[1].pixels.size(), 256u * 256u * 4u);
}

TEST_F(IconFile, SkipsEntriesThatAreNotPlain32BitBitmapsOfTheirSize) {
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

TEST_F(IconFile, ReadsTheDirectoryOnlyAsFarAsTheFileGoes) {
    test::LogCapture log;
    EXPECT_EQ(read(buildIco({square(16), square(32)}, 5)).size(), 2u);
    EXPECT_EQ(read(buildIco({square(16)}, 65535)).size(), 1u);
    Bytes cut = buildIco({square(16), square(16)});
    cut.resize(6 + 16 + 10);  // ends inside the second entry; the first's image is gone too
    EXPECT_TRUE(read(cut).empty());
    EXPECT_TRUE(read(buildIco({}, 0)).empty());
    EXPECT_TRUE(read(buildIco({}, 1)).empty());  // header only
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(IconFile, MissingFilesAndFilesThatAreNotIconsGiveNothing) {
    for (const Bytes& file : {Bytes{}, Bytes{0, 0, 1, 0, 1}, buildIco({square(16)}, -1, 2),
                              Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0}}) {
        test::LogCapture log;
        EXPECT_TRUE(read(file).empty());
        EXPECT_EQ(log.messages("warn"), Strings{path_ + " is not an icon file"});
    }
    test::LogCapture log;
    EXPECT_TRUE(readIconFile(dir_ / "nothing.ico").empty());
    EXPECT_TRUE(readIconFile(dir_.path()).empty());  // a folder in the file's place
    EXPECT_EQ(log.messages("dbg"), Strings{"No window icon at " + dir_ / "nothing.ico"});
}

TEST(IconFromAnotherWriter, GivesItsTwoBitmaps) {
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
