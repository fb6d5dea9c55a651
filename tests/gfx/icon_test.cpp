// The icon reader on damaged icon files built here: which entries it still uses, and that it
// survives the rest quietly. Pixel order and PNG entries are checked on a real file, read back
// from the launcher's window.
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
        Bytes image(e.png ? 200 : e.headerBytes, 0);
        if (e.png) std::copy_n("\x89PNG\r\n\x1A\n", 8, image.begin());
        if (!e.png) {
            std::uint32_t fields[] = {e.headerBytes, e.side, 2 * e.side, 1 | 32 << 16};
            for (int i = 0; i < 4; ++i) putLe(image, 4 * i, fields[i]);
            // The pixels, then the AND mask.
            image.resize(image.size() + e.side * e.side * 4 + (e.side + 31) / 32 * 4 * e.side);
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

TEST(IconFile, UsesOnlyEntriesThatArePlain32BitBitmapsOfTheirSizeInsideTheFile) {
    // Fields of a first 2 x 2 entry: the directory's size at 14 and offset at 18; the bitmap's
    // header size at 22, width 26, stored height (colour plus mask rows) 30, bits 36, compression 38.
    const struct {
        const char* name;
        Bytes file;
        std::vector<std::pair<std::size_t, std::uint32_t>> patches;
        std::vector<int> widths;  // of the entries used
    } cases[] = {
        {"as built", buildIco({{}}), {}, {2}},
        {"a PNG entry, a longer header, 256 as 0", buildIco({{256, true}, {2, false, 108}, {256}}),
         {}, {2, 256}},
        {"stored height one more, halved down", buildIco({{}}), {{30, 5}}, {2}},
        {"stored height without mask rows", buildIco({{}}), {{30, 2}}, {}},
        {"top-down rows", buildIco({{}}), {{30, std::uint32_t(-4)}}, {}},
        {"bitmap width differs", buildIco({{}}), {{26, 3}}, {}},
        {"24 bits", buildIco({{}}), {{36, 24}}, {}},
        {"compressed", buildIco({{}}), {{38, 3}}, {}},
        {"header too small", buildIco({{}}), {{22, 39}}, {}},
        {"header beyond the image", buildIco({{}}), {{22, 0xFFFFFFF0}}, {}},
        {"size one byte short of the pixels", buildIco({{}}), {{14, 40 + 15}}, {}},
        {"size just holding the pixels", buildIco({{}}), {{14, 40 + 16}}, {2}},
        {"size below a header", buildIco({{}}), {{14, 39}}, {}},
        {"offset past the end", buildIco({{}}), {{18, 100000}}, {}},
        {"offset plus size past 32 bits", buildIco({{}}), {{18, 0xFFFFFFF0}, {14, 0x20}}, {}},
        {"offset at the file header", buildIco({{}}), {{18, 0}}, {}},
        {"count above the entries", buildIco({{16}, {32}}, 5), {}, {16, 32}},
        {"count 65535", buildIco({{16}}, 65535), {}, {16}},
        {"no entries", buildIco({}, 0), {}, {}},
        {"a header only", buildIco({}, 1), {}, {}},
    };
    for (const auto& c : cases) {
        test::LogCapture log;
        Bytes file = c.file;
        for (auto [at, value] : c.patches) putLe(file, at, value);
        std::vector<int> widths;
        for (const IconImage& image : decode(file)) widths.push_back(image.width);
        EXPECT_EQ(widths, c.widths) << c.name;
        EXPECT_TRUE(log.messages().empty()) << c.name;
    }
    Bytes cut = buildIco({{16}, {16}});
    cut.resize(6 + 16 + 10);  // ends inside the second entry; the first's image is gone too
    EXPECT_TRUE(decode(cut).empty());
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
