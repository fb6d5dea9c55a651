#include "app/settings.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace kd {
namespace {

using test::readText;
using test::writeText;

constexpr const char* kHeader = "# Veilstone launcher settings. Written by the launcher.\n";

TEST(Settings, ParsesHandEditedFiles) {
    const struct {
        const char* name;
        std::string text, server, testerKey;
        bool testing;
    } cases[] = {
        {"blanks and carriage return trimmed", "  server =  URL  \r\n", "URL", "", false},
        {"hash comment", "# server = x\n   #server=x\n", "", "", false},
        {"line without equals", "server\n", "", "", false},
        {"keys are case-sensitive", "Server = x\n", "", "", false},
        {"channel value is case-sensitive", "tester_key = K\nchannel = Testing\n", "", "K", false},
        {"testing channel", "channel = testing\n", "", "", true},
        {"value keeps inner equals signs", "tester_key =  a=b=c \n", "", "a=b=c", false},
        {"last occurrence wins", "server = a\nserver = b\nchannel = testing\nchannel = live\n", "b",
         "", false},
        {"tab before key and value", "\tserver\t=\thttp://h/\t\n", "http://h/", "", false},
        {"unknown keys ignored, no final line feed", "colour = red\nserver=s", "s", "", false},
        {"empty value clears", "server = a\nserver =\n", "", "", false},
        {"nul bytes and noise", std::string("\0=\0\n==\n=\nserver = x\n", 20), "x", "", false},
    };
    for (const auto& c : cases) {
        LauncherSettings s = parseSettings(c.text);
        EXPECT_EQ(s.server, c.server) << c.name;
        EXPECT_EQ(s.testerKey, c.testerKey) << c.name;
        EXPECT_EQ(s.testingChannel, c.testing) << c.name;
    }
}

TEST(Settings, WritesTheFixedShapeOverTheOldFileAndReadsItBack) {
    EXPECT_EQ(formatSettings({}), kHeader);
    // Without a key the channel is not written: the next start shows Live.
    EXPECT_EQ(formatSettings({"s", "", true}), std::string(kHeader) + "server = s\n");
    EXPECT_EQ(formatSettings({"", "K", false}),
              std::string(kHeader) + "tester_key = K\nchannel = live\n");
    test::TempDir dir;
    EXPECT_EQ(readSettings(dir.path()).server, "");
    writeText(dir / "launcher.cfg", "# mine\nserver = old\nextra = 1\n");
    writeSettings(dir.path(), {"http://x/", "K=2", true});
    EXPECT_EQ(readText(dir / "launcher.cfg"),
              std::string(kHeader) + "server = http://x/\ntester_key = K=2\nchannel = testing\n");
    LauncherSettings back = readSettings(dir.path());
    EXPECT_EQ(back.server, "http://x/");
    EXPECT_EQ(back.testerKey, "K=2");
    EXPECT_TRUE(back.testingChannel);

    // A file where the folder should be, or a folder where the file should be: quietly nothing.
    writeText(dir / "file", "x");
    writeSettings(dir / "file", {"s", "k", true});
    EXPECT_EQ(readText(dir / "file"), "x");
    EXPECT_EQ(readSettings(dir / "file").server, "");
    std::filesystem::create_directories(dir / "d/launcher.cfg");
    EXPECT_EQ(readSettings(dir / "d").testerKey, "");
}

}  // namespace
}  // namespace kd
