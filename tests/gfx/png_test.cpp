// writePng checked by decoding its files with zlib, and its failures. The launcher's screenshot,
// read back in its own tests, is the common case: RGB, rows across stored blocks.
#include "gfx/png.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <csignal>
#include <filesystem>

#include "tests/support/png_decode.h"
#include "tests/support/temp_dir.h"

namespace kd {
namespace {

namespace fs = std::filesystem;

TEST(WritePng, DecodesToThePixelsAtTheBordersOfStoredBlocks) {
    test::TempDir dir;
    // With its filter byte one row of 65534 fills exactly one stored block; 65535 is one byte
    // into a second block. 2 x 3 RGBA is a file of one short block.
    for (auto [width, height, channels, colourType] :
         {std::array{65534, 1, 1, 0}, {65535, 1, 1, 0}, {2, 3, 4, 6}}) {
        test::Bytes rows(std::size_t(width) * height * channels);
        for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = std::uint8_t(i * 31 + i / 7);
        std::string error;
        ASSERT_TRUE(writePng((dir / "p.png").c_str(), rows.data(), width, height, channels, error));
        test::DecodedPng png = test::decodePng(test::readBytes(dir / "p.png"));
        EXPECT_EQ(png.error, "") << width;
        EXPECT_EQ(png.colourType, colourType) << width;
        EXPECT_TRUE(png.width == std::uint32_t(width) && png.pixels == rows) << width;
    }
}

TEST(WritePng, RefusesBadShapesAndRemovesWhatItCouldNotWriteWhole) {
    test::TempDir dir;
    const std::uint8_t pixels[16] = {};
    std::string error;
    for (const auto& c :
         {std::array{0, 1, 3}, {1, -1, 3}, {-5, 2, 1}, {1, 1, 2}, {1, 1, 0}, {1, 1, 5}})
        EXPECT_FALSE(writePng((dir / "bad.png").c_str(), pixels, c[0], c[1], c[2], error));
    // 60000 x 60000 RGBA would need a 14 GB chunk: refused before the pixels are read.
    EXPECT_FALSE(writePng((dir / "bad.png").c_str(), nullptr, 60000, 60000, 4, error));
    EXPECT_FALSE(fs::exists(dir / "bad.png"));

    std::string missing = dir / "no-such-folder/shot.png";
    EXPECT_FALSE(writePng(missing.c_str(), pixels, 1, 1, 3, error));
    // A file-size limit below the image makes the write fail part-way, as a full disk would,
    // and the half file goes; a device is never removed.
    rlimit old, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    small = old;
    small.rlim_cur = 50000;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    test::Bytes big(200 * 200 * 3, 0x55);
    bool written = writePng((dir / "partial.png").c_str(), big.data(), 200, 200, 3, error);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(error, "cannot write " + dir / "partial.png");
    EXPECT_FALSE(fs::exists(dir / "partial.png"));
    EXPECT_FALSE(writePng("/dev/full", pixels, 1, 1, 3, error));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

}  // namespace
}  // namespace kd
