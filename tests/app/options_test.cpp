// The command line, where the launcher's runs do not reach: values missing or malformed, and
// which arguments a restart repeats.
#include "app/options.h"

#include <gtest/gtest.h>

namespace kd {
namespace {

using Args = std::vector<std::string>;

// Every field of the options in one line, restart arguments in brackets.
std::string describe(const LaunchOptions& o) {
    std::string out = o.serverUrl + " shot " + testing::PrintToString(o.shotDelay) + " '" +
                      o.shotPath + "'" + (o.autoInstall ? " install" : "") +
                      (o.autoVerify ? " verify" : "") +
                      (o.allowSelfUpdate ? "" : " no-self-update");
    for (const std::string& arg : o.restartArgs) out += " [" + arg + "]";
    return out;
}

TEST(CommandLine, ReadsEachOptionWholeAndKeepsAllButUpdatedForARestart) {
    const std::pair<Args, const char*> cases[] = {
        {{}, "d shot -1 ''"},
        {{"--server", "--install"}, "--install shot -1 '' [--server] [--install]"},
        {{"--server"}, "d shot -1 '' [--server]"},  // no value: ignored
        {{"--server", "a", "--server", "b"}, "b shot -1 '' [--server] [a] [--server] [b]"},
        {{"--shot", "2"}, "d shot 2 'launcher.png' [--shot] [2]"},
        {{"--shot", ":first.png"}, "d shot 0 'first.png' [--shot] [:first.png]"},
        {{"--shot", "soon"}, "d shot 0 'launcher.png' [--shot] [soon]"},
        {{"--shot", "-1"}, "d shot -1 'launcher.png' [--shot] [-1]"},
        {{"--shot", "1:a:b"}, "d shot 1 'a:b' [--shot] [1:a:b]"},
        {{"--shot", "3:"}, "d shot 3 'launcher.png' [--shot] [3:]"},
        {{"--shot"}, "d shot -1 '' [--shot]"},
        {{"-x", "--install", "--verify", "--no-self-update", "--updated", "--updated"},
         "d shot -1 '' install verify no-self-update [-x] [--install] [--verify] "
         "[--no-self-update]"},
        {{"--updated"}, "d shot -1 '' no-self-update"},
        {{"--Install", "--install=1", "--no-self-update "},  // whole, case-sensitive names only
         "d shot -1 '' [--Install] [--install=1] [--no-self-update ]"},
    };
    for (const auto& [args, options] : cases)
        EXPECT_EQ(describe(readCommandLine(args, "d")), options) << testing::PrintToString(args);
}

}  // namespace
}  // namespace kd
