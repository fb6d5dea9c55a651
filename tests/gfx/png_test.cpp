// writePng checked by decoding its files with zlib, and its failures.
#include "gfx/png.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <csignal>
#include <filesystem>

#include "tests/gfx/log_capture.h"
#include "tests/support/png_decode.h"

namespace kd {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using test::Bytes;

TEST(WritePng, DecodesToThePixelsAcrossStoredBlockBordersAndFlipped) {
    test::TempDir dir;
    const std::string path = dir / "p.png";
    const struct {
        int width, height, channels;
        bool flip;
        int colourType;
    } cases[] = {
        {1, 1, 3, false, 2},
        {65534, 1, 1, false, 0},  // with its filter byte one row fills exactly one stored block
        {65535, 1, 1, false, 0},  // one byte into a second block
        {300, 250, 4, true, 6},   // many blocks, rows across their borders, last row first
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        std::size_t rowBytes = std::size_t(c.width) * c.channels;
        Bytes rows(rowBytes * c.height), want;
        for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = std::uint8_t(i * 31 + i / 7);
        for (int y = 0; y < c.height; ++y) {
            auto row = rows.begin() + std::ptrdiff_t(rowBytes) * (c.flip ? c.height - 1 - y : y);
            want.insert(want.end(), row, row + std::ptrdiff_t(rowBytes));
        }
        test::LogCapture log;
        ASSERT_TRUE(writePng(path.c_str(), rows.data(), c.width, c.height, c.channels, c.flip));
        EXPECT_EQ(log.messages("info"), Strings{"Wrote " + path + " (" + std::to_string(c.width) +
                                                "x" + std::to_string(c.height) + ")"});
        test::DecodedPng png = test::decodePng(test::readBytes(path));
        ASSERT_EQ(png.error, "");
        EXPECT_EQ(png.colourType, c.colourType);
        EXPECT_EQ(png.width * png.height, std::uint32_t(c.width * c.height));
        EXPECT_TRUE(png.pixels == want);
    }
}

TEST(WritePng, RefusesBadShapesAndReportsFilesItCannotWrite) {
    test::TempDir dir;
    test::LogCapture log;
    const std::uint8_t pixels[16] = {};
    for (const auto& c :
         {std::array{0, 1, 3}, {1, -1, 3}, {-5, 2, 1}, {1, 1, 2}, {1, 1, 0}, {1, 1, 5}})
        EXPECT_FALSE(writePng((dir / "bad.png").c_str(), pixels, c[0], c[1], c[2], false));
    EXPECT_TRUE(log.messages().empty());
    // 60000 x 60000 RGBA would need a 14 GB chunk: refused before the pixels are read.
    EXPECT_FALSE(writePng((dir / "bad.png").c_str(), nullptr, 60000, 60000, 4, false));
    EXPECT_EQ(log.messages("error").size(), 1u);
    EXPECT_FALSE(fs::exists(dir / "bad.png"));

    std::string missing = dir / "no-such-folder/shot.png";
    EXPECT_FALSE(writePng(missing.c_str(), pixels, 1, 1, 3, false));
    // A file-size limit below the image makes the write fail part-way, as a full disk would,
    // and the half file goes; a device is never removed.
    rlimit old, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    small = old;
    small.rlim_cur = 50000;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Bytes big(200 * 200 * 3, 0x55);
    bool written = writePng((dir / "partial.png").c_str(), big.data(), 200, 200, 3, false);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_FALSE(fs::exists(dir / "partial.png"));
    EXPECT_FALSE(writePng("/dev/full", pixels, 1, 1, 3, false));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    Strings messages = log.messages();
    EXPECT_EQ(Strings(messages.begin() + 1, messages.end()),
              (Strings{"writePng: cannot open " + missing,
                       "writePng: cannot write " + dir / "partial.png",
                       "writePng: cannot write /dev/full"}));
}

}  // namespace
}  // namespace kd
