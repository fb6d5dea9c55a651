// The icon reader on icon files built here, each field open to damage: which entries are used,
// how their pixels come out, and that damaged files are survived quietly. The launcher's own test
// reads one written by another writer.
#include "gfx/icon.h"

#include <gtest/gtest.h>

#include "tests/gfx/log_capture.h"

namespace kd {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

struct IcoEntry {
    std::uint32_t side = 2;          // 256 is written as 0 in the directory
    bool png = false;                // a PNG-compressed entry instead of a bitmap
    std::uint32_t headerBytes = 40;  // of the bitmap
    Bytes pixels;                    // B, G, R, A, bottom row first; zeros when short
};

void putLe(Bytes& out, std::size_t at, std::uint32_t v, int bytes = 4) {
    if (out.size() < at + bytes) out.resize(at + bytes);
    for (int i = 0; i < bytes; ++i) out[at + i] = std::uint8_t(v >> 8 * i);
}

// count: the directory's claim, by default the number of entries.
Bytes buildIco(const std::vector<IcoEntry>& entries, int count = -1, std::uint16_t type = 1) {
    Bytes file, images;
    putLe(file, 2, type, 2);
    putLe(file, 4, count < 0 ? std::uint32_t(entries.size()) : std::uint32_t(count), 2);
    for (const IcoEntry& e : entries) {
        Bytes image(e.png ? 200 : e.headerBytes, e.png ? 0xAB : 0);
        if (e.png) std::copy_n("\x89PNG\r\n\x1A\n", 8, image.begin());
        if (!e.png) {
            std::uint32_t fields[] = {e.headerBytes, e.side, 2 * e.side, 1 | 32 << 16};
            for (int i = 0; i < 4; ++i) putLe(image, 4 * i, fields[i]);
            // The pixels, then the AND mask.
            image.resize(image.size() + e.side * e.side * 4 + (e.side + 31) / 32 * 4 * e.side);
            std::copy(e.pixels.begin(), e.pixels.end(), image.begin() + e.headerBytes);
        }
        std::size_t at = 6 + 16 * (&e - entries.data());
        file.resize(at + 16);
        file[at] = file[at + 1] = std::uint8_t(e.side);
        putLe(file, at + 4, 1 | 32 << 16);
        putLe(file, at + 8, std::uint32_t(image.size()));
        putLe(file, at + 12, std::uint32_t(6 + 16 * entries.size() + images.size()));
        images.insert(images.end(), image.begin(), image.end());
    }
    file.insert(file.end(), images.begin(), images.end());
    return file;
}
std::vector<IconImage> decode(const Bytes& file) {
    return decodeIconFile(file.data(), file.size(), "veilstone.ico");
}

TEST(IconFile, TakesPlain32BitBitmapsTopRowFirstInRgbaAndSkipsPngEntries) {
    IcoEntry png{256, true}, small;
    small.pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    small.headerBytes = 108;  // a longer header is skipped over to the pixels
    std::vector<IconImage> images = decode(buildIco({png, small, {256}}));
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].pixels, (Bytes{11, 10, 9, 12, 15, 14, 13, 16, 3, 2, 1, 4, 7, 6, 5, 8}));
    EXPECT_EQ(images[1].width, 256);  // size 0 in the directory
    EXPECT_EQ(images[1].height, 256);
    EXPECT_EQ(images[1].pixels.size(), 256u * 256u * 4u);
}

TEST(IconFile, SkipsEntriesThatAreNotPlain32BitBitmapsOfTheirSize) {
    // Fields of one 2 x 2 entry: the directory's size at 14 and offset at 18; the bitmap's header
    // size at 22, width 26, stored height (colour plus mask rows) 30, bits 36, compression 38.
    const struct {
        const char* name;
        std::vector<std::pair<std::size_t, std::uint32_t>> patches;
        bool used;
    } cases[] = {
        {"as built", {}, true},
        {"stored height one more, halved down", {{30, 5}}, true},
        {"stored height without mask rows", {{30, 2}}, false},
        {"top-down rows", {{30, std::uint32_t(-4)}}, false},
        {"bitmap width differs", {{26, 3}}, false},
        {"24 bits", {{36, 24}}, false},
        {"compressed", {{38, 3}}, false},
        {"header too small", {{22, 39}}, false},
        {"header beyond the image", {{22, 0xFFFFFFF0}}, false},
        {"size one byte short of the pixels", {{14, 40 + 15}}, false},
        {"size just holding the pixels", {{14, 40 + 16}}, true},
        {"size below a header", {{14, 39}}, false},
        {"offset past the end", {{18, 100000}}, false},
        {"offset plus size past 32 bits", {{18, 0xFFFFFFF0}, {14, 0x20}}, false},
        {"offset at the file header", {{18, 0}}, false},
    };
    for (const auto& c : cases) {
        Bytes file = buildIco({{}});
        for (auto [at, value] : c.patches) putLe(file, at, value);
        EXPECT_EQ(decode(file).size(), c.used ? 1u : 0u) << c.name;
    }
}

TEST(IconFile, ReadsTheDirectoryOnlyAsFarAsTheFileGoes) {
    test::LogCapture log;
    EXPECT_EQ(decode(buildIco({{16}, {32}}, 5)).size(), 2u);
    EXPECT_EQ(decode(buildIco({{16}}, 65535)).size(), 1u);
    Bytes cut = buildIco({{16}, {16}});
    cut.resize(6 + 16 + 10);  // ends inside the second entry; the first's image is gone too
    EXPECT_TRUE(decode(cut).empty());
    EXPECT_TRUE(decode(buildIco({}, 0)).empty());
    EXPECT_TRUE(decode(buildIco({}, 1)).empty());  // header only
    EXPECT_TRUE(log.messages().empty());
}

TEST(IconFile, MissingFilesAndFilesThatAreNotIconsGiveNothing) {
    for (const Bytes& file : {Bytes{}, Bytes{0, 0, 1, 0, 1}, buildIco({{16}}, -1, 2),
                              Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0}}) {
        test::LogCapture log;
        EXPECT_TRUE(decode(file).empty());
        EXPECT_EQ(log.messages("warn"), Strings{"veilstone.ico is not an icon file"});
    }
    test::TempDir dir;
    test::LogCapture log;
    EXPECT_TRUE(readIconFile(dir / "nothing.ico").empty());
    EXPECT_TRUE(readIconFile(dir.path()).empty());  // a folder in the file's place
    EXPECT_EQ(log.messages("dbg"), Strings{"No window icon at " + dir / "nothing.ico"});
}

}  // namespace
}  // namespace kd
