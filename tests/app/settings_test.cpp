#include "app/settings.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace kd {
namespace {

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

// What the launcher writes is checked where a player makes a choice; here the files it cannot
// write or read.
TEST(Settings, AFileWhereTheFolderShouldBeOrAFolderWhereTheFileShouldBeGiveQuietlyNothing) {
    test::TempDir dir;
    test::writeText(dir / "file", "x");
    writeSettings(dir / "file", {"s", "k", true});
    EXPECT_EQ(test::readText(dir / "file"), "x");
    EXPECT_EQ(readSettings(dir / "file").server, "");
    std::filesystem::create_directories(dir / "d/launcher.cfg");
    writeSettings(dir / "d", {"s", "k", true});
    EXPECT_EQ(readSettings(dir / "d").testerKey, "");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "d/launcher.cfg"));
}

}  // namespace
}  // namespace kd
