// The settings file as a player might edit it by hand, and files the launcher cannot use. What
// the launcher writes is checked where a player makes a choice, in the launcher's own runs.
#include "app/settings.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace kd {
namespace {

TEST(Settings, ParsesHandEditedFiles) {
    // What was read: "server|tester key|channel|mirror,mirror,", the channel "testing" or "live";
    // what the launcher writes of it reads back the same.
    const std::pair<std::string, std::string> cases[] = {
        {"  server =  URL  \r\n", "URL||live|"},  // blanks and a carriage return trimmed
        {"# server = x\n   #server=x\n", "||live|"},
        {"server\nServer = x\n", "||live|"},  // a line without "=", and keys are case-sensitive
        {"tester_key = K\nchannel = Testing\n", "|K|live|"},  // so are channel names
        {"tester_key =  a=b=c \nchannel = testing\n", "|a=b=c|testing|"},
        {"server = a\nserver = b\nchannel = testing\nchannel = live\n", "b||live|"},  // last wins
        {"\tserver\t=\thttp://h/\t\n", "http://h/||live|"},
        {"colour = red\nserver=s", "s||live|"},  // unknown keys, no final line feed
        {"server = a\nserver =\n", "||live|"},   // an empty value clears
        {std::string("\0=\0\n==\n=\nserver = x\n", 20), "x||live|"},
        {"mirror = a\nmirror =\n mirror = b\n", "||live|a,b,"},  // every mirror, in order
    };
    const auto shown = [](const LauncherSettings& s) {
        std::string mirrors;
        for (const std::string& mirror : s.mirrors) mirrors += mirror + ",";
        return s.server + "|" + s.testerKey + "|" + (s.testingChannel ? "testing" : "live") + "|" +
               mirrors;
    };
    for (const auto& [text, read] : cases) {
        const LauncherSettings s = parseSettings(text);
        EXPECT_EQ(shown(s), read) << text;
        EXPECT_EQ(shown(parseSettings(formatSettings(s))), read) << text;
    }
}

TEST(Settings, AFileWhereTheFolderShouldBeOrAFolderWhereTheFileShouldBeGiveQuietlyNothing) {
    test::TempDir dir;
    test::writeText(dir / "file", "x");
    std::string error;
    EXPECT_FALSE(writeSettings(dir / "file", {"s", "k", true, {}}, error));
    EXPECT_EQ(test::readText(dir / "file"), "x");
    EXPECT_EQ(readSettings(dir / "file").server, "");
    test::writeText(dir / "d/launcher.cfg/x", "x");
    EXPECT_FALSE(writeSettings(dir / "d", {"s", "k", true, {}}, error));
    EXPECT_EQ(readSettings(dir / "d").testerKey, "");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "d/launcher.cfg"));
}

}  // namespace
}  // namespace kd
