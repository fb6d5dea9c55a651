// The icon reader on damaged copies of the fuzzer's seed icons: which entries it still uses, and
// that it survives the rest. Pixel order is checked on the launcher's window.
#include "gfx/icon.h"

#include <gtest/gtest.h>

#include "tests/support/png_decode.h"
#include "tests/support/temp_dir.h"

namespace kd {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes seed(const std::string& name) { return test::readBytes(VEILSTONE_ICON_SEEDS "/" + name); }
void putLe(Bytes& out, std::size_t at, std::uint32_t v, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) out[at + i] = std::uint8_t(v >> 8 * i);
}
struct Patch {
    std::size_t at;
    std::uint32_t value;
    int bytes = 4;
};
std::vector<IconImage> decode(const Bytes& file) {
    return decodeIconFile(file.data(), file.size(), "veilstone.ico");
}

TEST(IconFile, UsesOnlyEntriesThatArePlain32BitBitmapsOfTheirSizeInsideTheFile) {
    // single-2x2.ico is one 2 x 2 entry: the directory's count at 4, the entry's size at 14 and
    // offset at 18; the bitmap's header size at 22, width 26, stored height (colour plus mask
    // rows) 30, bits 36, compression 38. The pixels take 16 bytes after the header.
    const struct {
        const char* name;
        std::string file;
        std::vector<Patch> patches;
        std::vector<int> widths;  // of the entries used
    } cases[] = {
        {"as written", "single-2x2.ico", {}, {2}},
        {"a PNG entry is skipped", "stone-16-32-png48.ico", {}, {16, 32}},
        {"count beyond the directory", "count-beyond-directory.ico", {}, {16, 8}},
        {"count 65535", "single-2x2.ico", {{4, 65535, 2}}, {2}},
        {"no entries", "single-2x2.ico", {{4, 0, 2}}, {}},
        {"stored height one more, halved down", "single-2x2.ico", {{30, 5}}, {2}},
        {"stored height without mask rows", "single-2x2.ico", {{30, 2}}, {}},
        {"top-down rows", "single-2x2.ico", {{30, std::uint32_t(-4)}}, {}},
        {"bitmap width differs", "single-2x2.ico", {{26, 3}}, {}},
        {"24 bits", "single-2x2.ico", {{36, 24}}, {}},
        {"compressed", "single-2x2.ico", {{38, 3}}, {}},
        {"header too small", "single-2x2.ico", {{22, 39}}, {}},
        {"header beyond the image", "single-2x2.ico", {{22, 0xFFFFFFF0}}, {}},
        {"size one byte short of the pixels", "single-2x2.ico", {{14, 40 + 15}}, {}},
        {"size just holding the pixels", "single-2x2.ico", {{14, 40 + 16}}, {2}},
        {"size below a header", "single-2x2.ico", {{14, 39}}, {}},
        {"offset past the end", "single-2x2.ico", {{18, 100000}}, {}},
        {"offset plus size past 32 bits", "single-2x2.ico", {{18, 0xFFFFFFF0}, {14, 0x20}}, {}},
        {"offset at the file header", "single-2x2.ico", {{18, 0}}, {}},
    };
    for (const auto& c : cases) {
        Bytes file = seed(c.file);
        for (const Patch& patch : c.patches) putLe(file, patch.at, patch.value, patch.bytes);
        std::vector<int> widths;
        for (const IconImage& image : decode(file)) widths.push_back(image.width);
        EXPECT_EQ(widths, c.widths) << c.name;
    }
    for (std::size_t size : {6, 6 + 16 + 10}) {  // a header only; ends inside the second entry
        Bytes cut = seed("stone-16-32-png48.ico");
        cut.resize(size);
        EXPECT_TRUE(decode(cut).empty()) << size;
    }
}

TEST(IconFile, MissingFilesAndFilesThatAreNotIconsGiveNothing) {
    Bytes cursor = seed("single-2x2.ico");
    cursor[2] = 2;
    for (const Bytes& file :
         {Bytes{}, Bytes{0, 0, 1, 0, 1}, cursor, Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0}})
        EXPECT_TRUE(decode(file).empty());
    test::TempDir dir;
    EXPECT_TRUE(readIconFile(dir / "nothing.ico").empty());
    EXPECT_TRUE(readIconFile(dir.path()).empty());  // a folder in the file's place
}

}  // namespace
}  // namespace kd
