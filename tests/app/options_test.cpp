#include <gtest/gtest.h>

#include <filesystem>

#include "app/options.h"
#include "app/paths.h"
#include "tests/support/temp_dir.h"

namespace kd {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, DefaultsWithoutArguments) {
    LaunchOptions o = readCommandLine({}, "http://default/");
    EXPECT_EQ(o.serverUrl, "http://default/");
    EXPECT_FALSE(o.autoInstall);
    EXPECT_FALSE(o.autoVerify);
    EXPECT_TRUE(o.allowSelfUpdate);
    EXPECT_LT(o.shotDelay, 0);
    EXPECT_TRUE(o.restartArgs.empty());
}

TEST(CommandLine, ServerTakesTheNextArgumentWhateverItIs) {
    EXPECT_EQ(readCommandLine({"--server", "--install"}, "d").serverUrl, "--install");
    EXPECT_FALSE(readCommandLine({"--server", "--install"}, "d").autoInstall);
    EXPECT_EQ(readCommandLine({"--server"}, "d").serverUrl, "d");  // no value: ignored
    EXPECT_EQ(readCommandLine({"--server", "a", "--server", "b"}, "d").serverUrl, "b");
}

TEST(CommandLine, ShotValues) {
    struct Case {
        Args args;
        double delay;
        std::string path;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        LaunchOptions o = readCommandLine(c.args, "d");
        EXPECT_DOUBLE_EQ(o.shotDelay, c.delay) << c.args.back();
        EXPECT_EQ(o.shotPath, c.path) << c.args.back();
    }
}

TEST(CommandLine, FlagsAndRestartArguments) {
    LaunchOptions o = readCommandLine({"--updated", "--server", "http://s/"}, "d");
    EXPECT_FALSE(o.allowSelfUpdate);
    EXPECT_EQ(o.restartArgs, (Args{"--server", "http://s/"}));

    o = readCommandLine({"-x", "--install", "--verify", "--no-self-update", "--updated",
                         "--shot", "1:a.png", "--updated"},
                        "d");
    EXPECT_TRUE(o.autoInstall);
    EXPECT_TRUE(o.autoVerify);
    EXPECT_FALSE(o.allowSelfUpdate);
    EXPECT_EQ(o.restartArgs,
              (Args{"-x", "--install", "--verify", "--no-self-update", "--shot", "1:a.png"}));

    // Whole, case-sensitive comparisons only.
    o = readCommandLine({"--Install", "--install=1", "--no-self-update "}, "d");
    EXPECT_FALSE(o.autoInstall);
    EXPECT_TRUE(o.allowSelfUpdate);
    EXPECT_EQ(o.restartArgs.size(), 3u);
}

TEST(ReleaseKey, DecodesOnlySixtyFourHexDigits) {
    std::uint8_t key[32];
    EXPECT_TRUE(decodeReleaseKey(releaseKeyText(), key)) << "the compiled-in key must decode";
    EXPECT_TRUE(decodeReleaseKey(std::string(64, 'A').c_str(), key));
    EXPECT_EQ(key[0], 0xAA);
    EXPECT_FALSE(decodeReleaseKey(std::string(63, 'a').c_str(), key));
    EXPECT_FALSE(decodeReleaseKey(std::string(66, 'a').c_str(), key));
    EXPECT_FALSE(decodeReleaseKey("", key));
    EXPECT_FALSE(decodeReleaseKey((std::string(63, 'a') + "g").c_str(), key));
}

TEST(Paths, FolderOfTheRunningExecutable) {
    std::string exe = ownExePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe, std::filesystem::canonical("/proc/self/exe").string());
    EXPECT_EQ(installDir(exe), std::filesystem::path(exe).parent_path().string());
    EXPECT_EQ(installDir(""), std::filesystem::current_path().string());
    EXPECT_STREQ(platformName(), "linux64");
    EXPECT_STREQ(productName(), "veilstone");
}

TEST(Paths, LeftoverOfASelfUpdateIsRemoved) {
    test::TempDir dir;
    std::string exe = dir / "launcher";
    test::writeText(exe, "new");
    test::writeText(exe + ".old", "old");
    test::writeText(dir / "launcher.older", "unrelated");
    removeOldLauncher(exe);
    EXPECT_FALSE(std::filesystem::exists(exe + ".old"));
    EXPECT_TRUE(std::filesystem::exists(exe));
    EXPECT_TRUE(std::filesystem::exists(dir / "launcher.older"));
    removeOldLauncher(exe);  // nothing left to remove is fine
    removeOldLauncher("");
}

}  // namespace
}  // namespace kd
