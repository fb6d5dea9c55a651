#include "app/options.h"

#include <gtest/gtest.h>

namespace kd {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, ServerTakesTheNextArgumentWhateverItIs) {
    EXPECT_EQ(readCommandLine({}, "d").serverUrl, "d");
    EXPECT_EQ(readCommandLine({"--server", "--install"}, "d").serverUrl, "--install");
    EXPECT_FALSE(readCommandLine({"--server", "--install"}, "d").autoInstall);
    EXPECT_EQ(readCommandLine({"--server"}, "d").serverUrl, "d");  // no value: ignored
    EXPECT_EQ(readCommandLine({"--server", "a", "--server", "b"}, "d").serverUrl, "b");
}

TEST(CommandLine, ShotValues) {
    const struct {
        Args args;
        double delay;
        std::string path;
    } cases[] = {
        {{}, -1.0, ""},
        {{"--shot", "2"}, 2.0, "launcher.png"},
        {{"--shot", "0.5:out/shot.png"}, 0.5, "out/shot.png"},
        {{"--shot", ":first.png"}, 0.0, "first.png"},
        {{"--shot", "soon"}, 0.0, "launcher.png"},
        {{"--shot", "-1"}, -1.0, "launcher.png"},
        {{"--shot", "1:a:b"}, 1.0, "a:b"},
        {{"--shot", "3:"}, 3.0, "launcher.png"},
        {{"--shot", "1", "--shot", "4:x.png"}, 4.0, "x.png"},
        {{"--shot"}, -1.0, ""},
    };
    for (const auto& c : cases) {
        LaunchOptions o = readCommandLine(c.args, "d");
        EXPECT_DOUBLE_EQ(o.shotDelay, c.delay) << testing::PrintToString(c.args);
        EXPECT_EQ(o.shotPath, c.path) << testing::PrintToString(c.args);
    }
}

TEST(CommandLine, FlagsAndRestartArguments) {
    LaunchOptions o = readCommandLine({}, "d");
    EXPECT_TRUE(!o.autoInstall && !o.autoVerify && o.allowSelfUpdate && o.restartArgs.empty());
    o = readCommandLine({"-x", "--install", "--verify", "--no-self-update", "--updated", "--shot",
                         "1:a.png", "--updated"},
                        "d");
    EXPECT_TRUE(o.autoInstall);
    EXPECT_TRUE(o.autoVerify);
    EXPECT_FALSE(o.allowSelfUpdate);
    EXPECT_EQ(o.restartArgs,
              (Args{"-x", "--install", "--verify", "--no-self-update", "--shot", "1:a.png"}));
    EXPECT_FALSE(readCommandLine({"--updated"}, "d").allowSelfUpdate);

    // Whole, case-sensitive comparisons only.
    o = readCommandLine({"--Install", "--install=1", "--no-self-update "}, "d");
    EXPECT_FALSE(o.autoInstall);
    EXPECT_TRUE(o.allowSelfUpdate);
    EXPECT_EQ(o.restartArgs.size(), 3u);
}

}  // namespace
}  // namespace kd
