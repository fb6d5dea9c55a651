#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/release_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace kd::test {
namespace {

namespace fs = std::filesystem;

// Runs argv with the system's GLFW and libsodium replaced by empty files; exits 9 when they
// cannot be hidden, so a test never passes on a machine where they are still visible.
std::vector<std::string> hidingLibraries(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {VEILSTONE_UNSHARE, "-rm", "sh", "-c",
                               "for f in " VEILSTONE_HIDDEN_LIBRARIES
                               "; do mount --bind /dev/null $f || exit 9; done; exec \"$@\"",
                               "sh"});
    return argv;
}

// True when a stated version has the need's prefix (GLIBC_) and is no older than the need.
bool isStated(const std::string& need) {
    std::istringstream stated(VEILSTONE_NEEDS_VERSIONS);
    for (std::string version; stated >> version;)
        if (need.compare(0, version.find('_') + 1, version, 0, version.find('_') + 1) == 0)
            return strverscmp(need.c_str(), version.c_str()) <= 0;
    return false;
}

// A desktop entry's string value read back: \s \n \t \r \\ stand for their characters.
std::string stringValue(const std::string& entry, const std::string& key) {
    const std::string codes = "sntr\\", characters = " \n\t\r\\";
    size_t at = entry.find("\n" + key + "=");
    if (at == std::string::npos) return "no " + key;
    std::string value;
    for (at += key.size() + 2; at < entry.size() && entry[at] != '\n'; ++at) {
        if (entry[at] != '\\')
            value += entry[at];
        else if (const size_t code = codes.find(entry[++at]); code != std::string::npos)
            value += characters[code];
        else
            return "bad escape";
    }
    return value;
}

// The program of an Exec value that is one argument in double quotes (after "env "), read back
// as a menu does: inside the quotes \ escapes " ` $ \ and %% stands for %.
std::string execProgram(std::string exec) {
    if (exec.starts_with("env ")) exec.erase(0, 4);
    std::string program;
    for (size_t at = 1; at + 1 < exec.size(); ++at) {
        const bool escaped =
            (exec[at] == '\\' && strchr("\"`$\\", exec[at + 1])) || exec.compare(at, 2, "%%") == 0;
        if (!escaped && strchr("\\%\"", exec[at])) return "bad quoting";
        program += exec[at += escaped];
    }
    return exec.size() >= 2 && exec.starts_with('"') && exec.ends_with('"') ? program : "unquoted";
}

bool waitFor(const std::string& path, const std::string& text) {
    for (int waited = 0; waited < 30000; waited += 100) {
        if (readText(path).find(text) != std::string::npos) return true;
        usleep(100000);
    }
    return false;
}

TEST(Package, AsksOnlyForWhatItsReadmeStatesAndInstallsAndUpdatesFromAnyFolder) {
    TempDir dir;
    ASSERT_EQ(system(("tar xzf " VEILSTONE_PACKAGE_FILE " -C " + dir.path()).c_str()), 0);
    std::string folder = dir / "veilstone";
    const std::vector<std::string> env = {"ASAN_OPTIONS=detect_leaks=0"};

    // The system libraries' symbol versions stay within what both READMEs promise (libssl and
    // libcrypto are system libraries too, held to OpenSSL 3.0.0).
    ChildProcess readelf({VEILSTONE_READELF, "-VW", folder + "/veilstone-launcher"}, "/", {},
                         dir / "needs.txt");
    ASSERT_EQ(readelf.wait(10000), 0);
    std::istringstream lines(readText(dir / "needs.txt"));
    int needs = 0;
    for (std::string line; std::getline(lines, line);)
        if (const size_t at = line.find(" Name: "); at != std::string::npos && ++needs)
            EXPECT_TRUE(isStated(line.substr(at + 7, line.find(' ', at + 7) - at - 7))) << line;
    EXPECT_GT(needs, 0);
    std::istringstream stated(VEILSTONE_NEEDS_VERSIONS);
    for (std::string version; stated >> version;)
        EXPECT_NE(readText(VEILSTONE_README).find(version), std::string::npos) << version;

    // A menu entry for the folder under any name names the launcher that is there, read back as a
    // menu reads it; a name that no entry can hold leaves the previous entry as it was.
    const std::string entry = dir / "data/applications/veilstone-launcher.desktop";
    for (const std::string name :
         {"Games & Apps", "100% Games", "cost $5 games", "back\\slash", "a|b", "bell\a",
          "tab\tline\n", "it's \"all\" `$5` 100%% \\\" |"}) {
        fs::rename(folder, dir / name);
        folder = dir / name;
        const std::string before = readText(entry);
        ChildProcess add({folder + "/add-to-menu"}, "/", {"XDG_DATA_HOME=" + dir / "data"},
                         dir / "add.out");
        if (name == "bell\a") {
            EXPECT_EQ(add.wait(10000), 1);
            EXPECT_EQ(readText(entry), before);
            continue;
        }
        ASSERT_EQ(add.wait(10000), 0) << name << readText(dir / "add.out");
        ChildProcess check({VEILSTONE_DESKTOP_FILE_VALIDATE, entry}, "/", {}, dir / "check.out");
        EXPECT_EQ(check.wait(10000), 0) << readText(entry) << readText(dir / "check.out");
        const std::string real = fs::canonical(folder).string(), text = readText(entry);
        EXPECT_EQ(execProgram(stringValue(text, "Exec")), real + "/veilstone-launcher") << text;
        EXPECT_EQ(stringValue(text, "Icon"), real + "/veilstone.svg") << text;
    }
    const std::string launcher = folder + "/veilstone-launcher";
    const std::string glfw = readText(folder + "/libglfw.so.3");

    // Without the folder's GLFW the loader stops it: the system's copy really is out of reach.
    fs::create_directories(dir / "bare");
    fs::copy_file(launcher, dir / "bare/veilstone-launcher");
    ChildProcess bare(hidingLibraries({dir / "bare/veilstone-launcher"}), dir / "bare", env,
                      dir / "bare.out");
    EXPECT_NE(bare.wait(10000), 0);
    EXPECT_NE(readText(dir / "bare.out").find("libglfw.so.3"), std::string::npos);

    // The release carries another build of the launcher, so the first start replaces itself.
    const std::string newBuild = dir / "new-launcher";
    writeText(newBuild, readText(launcher) + "another build");
    writeGame(dir / "game", {{"veilstone", "#!/bin/sh\n"}, {"data/level.dat", noise(50000, 1)}});
    ASSERT_TRUE(publishRelease(dir / "game", dir / "server", "1.0", {"--launcher", newBuild}));
    NginxServer server(dir / "server", "");
    ASSERT_TRUE(server.start()) << server.errorLog();
    Xvfb xvfb;
    ASSERT_TRUE(xvfb.ok());

    const std::string shot = dir / "shot.png";
    ChildProcess old(
        hidingLibraries({launcher, "--server", server.url(), "--install", "--shot", "4:" + shot}),
        folder, {"DISPLAY=" + xvfb.display(), env[0]}, dir / "launcher.out");
    EXPECT_EQ(old.wait(30000), 0) << readText(dir / "launcher.out");
    // The copy restarted with --updated inherits the hidden view, installs and shows its window.
    const std::string log = folder + "/logs/latest.log";
    EXPECT_TRUE(waitFor(log, "launcher: installed 1.0")) << readText(log);
    EXPECT_TRUE(waitFor(log, "launcher: saved " + shot)) << readText(log);
    EXPECT_NE(readText(log).find("trusts the public demo key"), std::string::npos);
    EXPECT_EQ(readText(launcher), readText(newBuild));
    EXPECT_EQ(readText(folder + "/libglfw.so.3"), glfw);
    EXPECT_TRUE(fs::exists(folder + "/game/data/level.dat"));
}

}  // namespace
}  // namespace kd::test
