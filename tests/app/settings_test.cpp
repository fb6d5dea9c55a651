#include "app/settings.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace kd {
namespace {

using test::readText;
using test::TempDir;
using test::writeText;

struct ParseCase {
    const char* name;
    std::string text;
    std::string server;
    std::string testerKey;
    bool testingChannel;
};

TEST(Settings, ParsesHandEditedFiles) {
    const ParseCase cases[] = {
        {"blanks and carriage return trimmed", "  server =  URL  \r\n", "URL", "", false},
        {"hash comment", "# server = x\n", "", "", false},
        {"indented comment", "   #server=x\n", "", "", false},
        {"line without equals", "server\n", "", "", false},
        {"keys are case-sensitive", "Server = x\n", "", "", false},
        {"channel value is case-sensitive", "tester_key = K\nchannel = Testing\n", "", "K", false},
        {"testing channel", "channel = testing\n", "", "", true},
        {"value keeps inner equals signs", "tester_key =  a=b=c \n", "", "a=b=c", false},
        {"last occurrence wins", "server = a\nserver = b\nchannel = testing\nchannel = live\n",
         "b", "", false},
        {"tab before key and value", "\tserver\t=\thttp://h/\t\n", "http://h/", "", false},
        {"unknown keys ignored", "colour = red\nserver=s", "s", "", false},
        {"last line without line feed", "tester_key = K", "", "K", false},
        {"empty value clears", "server = a\nserver =\n", "", "", false},
        {"nul bytes and noise", std::string("\0=\0\n==\n=\nserver = x\n", 20), "x", "", false},
    };
    for (const ParseCase& c : cases) {
        LauncherSettings s = parseSettings(c.text);
        EXPECT_EQ(s.server, c.server) << c.name;
        EXPECT_EQ(s.testerKey, c.testerKey) << c.name;
        EXPECT_EQ(s.testingChannel, c.testingChannel) << c.name;
    }
}

TEST(Settings, WritesExactlyTheFixedShape) {
    EXPECT_EQ(formatSettings({}), "# Veilstone launcher settings. Written by the launcher.\n");
    EXPECT_EQ(formatSettings({"", "KEY-1", true}),
              "# Veilstone launcher settings. Written by the launcher.\n"
              "tester_key = KEY-1\n"
              "channel = testing\n");
    EXPECT_EQ(formatSettings({"http://h:1/", "K", false}),
              "# Veilstone launcher settings. Written by the launcher.\n"
              "server = http://h:1/\n"
              "tester_key = K\n"
              "channel = live\n");
    // Without a key the channel is not written: the next start shows Live.
    EXPECT_EQ(formatSettings({"s", "", true}),
              "# Veilstone launcher settings. Written by the launcher.\nserver = s\n");
}

TEST(Settings, FileRoundTripAndMissingFile) {
    TempDir dir;
    LauncherSettings missing = readSettings(dir.path());
    EXPECT_EQ(missing.server, "");
    EXPECT_EQ(missing.testerKey, "");
    EXPECT_FALSE(missing.testingChannel);

    writeText(dir / "launcher.cfg", "# mine\nserver = old\nextra = 1\n");
    writeSettings(dir.path(), {"http://x/", "K=2", true});
    EXPECT_EQ(readText(dir / "launcher.cfg"),
              "# Veilstone launcher settings. Written by the launcher.\n"
              "server = http://x/\ntester_key = K=2\nchannel = testing\n");
    LauncherSettings back = readSettings(dir.path());
    EXPECT_EQ(back.server, "http://x/");
    EXPECT_EQ(back.testerKey, "K=2");
    EXPECT_TRUE(back.testingChannel);
}

TEST(Settings, UnwritableFolderIsNotAnError) {
    TempDir dir;
    writeText(dir / "file", "x");
    writeSettings(dir / "file", {"s", "k", true});  // the folder is a file: nothing happens
    EXPECT_EQ(readText(dir / "file"), "x");
    EXPECT_EQ(readSettings(dir / "file").server, "");
    // A folder where the file should be reads as defaults.
    std::filesystem::create_directories(dir / "d/launcher.cfg");
    EXPECT_EQ(readSettings(dir / "d").testerKey, "");
}

}  // namespace
}  // namespace kd
