// writePng's exact bytes, checked against zlib's CRC-32, Adler-32 and inflate.
#include "gfx/png.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "tests/gfx/log_capture.h"
#include "tests/support/png_decode.h"

namespace kd {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using test::Bytes;
using test::decodePng;
using test::LogCapture;
using test::readBytes;

class PngTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/veilstone-gfx-png-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { fs::remove_all(folder_); }
    std::string path(const char* name) const { return folder_ + "/" + name; }

    std::string folder_;
};

void putChunk(Bytes& out, const char* type, Bytes data) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(Bytes::value_type(data.size() >> shift));
    data.insert(data.begin(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(0, data.data(), uInt(data.size()));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(Bytes::value_type(crc >> shift));
}

TEST_F(PngTest, OnePixelImageIsSignatureHeaderOneStoredBlockAndEnd) {
    LogCapture log;
    const std::uint8_t pixel[3] = {0xC0, 0x80, 0x40};
    ASSERT_TRUE(writePng(path("one.png").c_str(), pixel, 1, 1, 3, false));

    Bytes expected = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    putChunk(expected, "IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0});
    const Bytes raw = {0x00, 0xC0, 0x80, 0x40};
    uLong adler = adler32(1, raw.data(), uInt(raw.size()));
    putChunk(expected, "IDAT",
             {0x78, 0x01, 0x01, 0x04, 0x00, 0xFB, 0xFF, 0x00, 0xC0, 0x80, 0x40,
              Bytes::value_type(adler >> 24), Bytes::value_type(adler >> 16),
              Bytes::value_type(adler >> 8), Bytes::value_type(adler)});
    putChunk(expected, "IEND", {});
    Bytes file = readBytes(path("one.png"));
    EXPECT_EQ(file.size(), 72u);
    EXPECT_EQ(file, expected);
    EXPECT_EQ(Bytes(file.end() - 12, file.end()),
              (Bytes{0, 0, 0, 0, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}));
    EXPECT_EQ(log.messages("info"), Strings{"Wrote " + path("one.png") + " (1x1)"});
}

TEST_F(PngTest, StoredBlocksHoldAtMost65535Bytes) {
    // The first block's header follows signature 8, IHDR 25, IDAT length and type 8, zlib 2.
    constexpr std::size_t kFirstBlock = 8 + 25 + 8 + 2;
    const struct {
        int width;  // one grey row: the raw data is width + 1 filter byte
        Bytes first, second;
    } cases[] = {
        {65534, {0x01, 0xFF, 0xFF, 0x00, 0x00}, {}},  // exactly one block, the final one
        {65535, {0x00, 0xFF, 0xFF, 0x00, 0x00}, {0x01, 0x01, 0x00, 0xFE, 0xFF}},
    };
    for (const auto& c : cases) {
        Bytes grey(std::size_t(c.width), 7);
        ASSERT_TRUE(writePng(path("g.png").c_str(), grey.data(), c.width, 1, 1, false));
        Bytes file = readBytes(path("g.png"));
        std::size_t blocks = c.second.empty() ? 1 : 2;
        ASSERT_EQ(file.size(), std::size_t(c.width) + 1 + 5 * blocks + 63);
        EXPECT_EQ(Bytes(&file[kFirstBlock], &file[kFirstBlock + 5]), c.first);
        std::size_t second = kFirstBlock + 5 + 65535;
        if (blocks == 2) EXPECT_EQ(Bytes(&file[second], &file[second + 5]), c.second);
        EXPECT_EQ(decodePng(file).pixels, grey);
    }
}

TEST_F(PngTest, FlippedRgbaImageDecodesWithTheLastRowFirst) {
    Bytes rows(4 * 300 * 250);  // several blocks, rows across block borders
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = std::uint8_t(i * 31 + i / 7);
    ASSERT_TRUE(writePng(path("f.png").c_str(), rows.data(), 300, 250, 4, true));
    test::DecodedPng png = decodePng(readBytes(path("f.png")));
    ASSERT_EQ(png.error, "");
    EXPECT_EQ(png.colourType, 6);
    for (int y = 0; y < 250; ++y) {
        ASSERT_TRUE(std::equal(&png.pixels[y * 1200], &png.pixels[y * 1200] + 1200,
                               &rows[(249 - y) * 1200]));
    }
}

TEST_F(PngTest, BadSizesAndChannelCountsWriteNothing) {
    LogCapture log;
    const std::uint8_t pixels[16] = {};
    const int cases[][3] = {{0, 1, 3}, {1, -1, 3}, {-5, 2, 1}, {1, 1, 2}, {1, 1, 0}, {1, 1, 5}};
    for (const auto& c : cases) {
        EXPECT_FALSE(writePng(path("bad.png").c_str(), pixels, c[0], c[1], c[2], false));
    }
    EXPECT_TRUE(log.messages().empty());
    // 60000 x 60000 RGBA would need a 14 GB chunk: refused before the pixels are read.
    EXPECT_FALSE(writePng(path("bad.png").c_str(), nullptr, 60000, 60000, 4, false));
    EXPECT_EQ(log.messages("error").size(), 1u);
    EXPECT_FALSE(fs::exists(path("bad.png")));
}

TEST_F(PngTest, UnopenablePathIsReported) {
    LogCapture log;
    const std::uint8_t pixel[3] = {};
    std::string missing = path("no-such-folder/shot.png");
    EXPECT_FALSE(writePng(missing.c_str(), pixel, 1, 1, 3, false));
    EXPECT_EQ(log.messages(), Strings{"writePng: cannot open " + missing});
}

TEST_F(PngTest, FailedWriteIsReportedAndLeavesNoHalfFile) {
    LogCapture log;
    // A file-size limit below the image makes the write fail part-way, as a full disk would.
    struct rlimit old, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    small = old;
    small.rlim_cur = 50000;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Bytes pixels(200 * 200 * 3, 0x55);
    bool written = writePng(path("partial.png").c_str(), pixels.data(), 200, 200, 3, false);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_FALSE(fs::exists(path("partial.png")));

    // A device is never removed.
    const std::uint8_t pixel[3] = {};
    EXPECT_FALSE(writePng("/dev/full", pixel, 1, 1, 3, false));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    EXPECT_EQ(log.messages(), (Strings{"writePng: cannot write " + path("partial.png"),
                                       "writePng: cannot write /dev/full"}));
}

}  // namespace
}  // namespace kd
