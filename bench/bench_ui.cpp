// Does the screen stay smooth while the engine works, and quiet while idle? Publishes a large
// release, serves it with nginx, and runs the real launcher under Xvfb with "--install": the
// launcher's own log gives the longest gap between two frames and the processor time of one frame;
// /proc gives its processor use while it idles on the "PLAY" screen afterwards, visible and
// focused, without focus, covered by another window, unmapped, and showing 1 MB of news, each
// also as a ratio to the visible run.
//   bench_ui [--files=N] [--mib=M] [--idle-seconds=S] [--launcher=PATH]
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb.h"

namespace fs = std::filesystem;
using namespace kd::test;

namespace {

long optionValue(int argc, char** argv, const char* name, long fallback) {
    std::string prefix = std::string("--") + name + "=";
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
            return std::atol(argv[i] + prefix.size());
    return fallback;
}

// Half text-like, half random: a mix that takes real work to unpack and hash.
void makeGame(const std::string& folder, long files, long mib) {
    std::mt19937_64 random(7);
    const std::size_t fileBytes = std::size_t(mib) * 1024 * 1024 / std::size_t(files);
    std::string content(fileBytes, '\0');
    for (long i = 0; i < files; ++i) {
        if (i % 2 == 0) {
            for (std::size_t at = 0; at < fileBytes; ++at) content[at] = char(random());
        } else {
            std::string line = "stone " + std::to_string(i) + " moss lantern light ";
            for (std::size_t at = 0; at < fileBytes; ++at) content[at] = line[at % line.size()];
        }
        writeText(folder + "/data/part" + std::to_string(i) + ".dat", content);
    }
    writeText(folder + "/veilstone", "#!/bin/sh\n");
    chmod((folder + "/veilstone").c_str(), 0755);
}

double processSeconds(pid_t pid) {
    std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) user = std::stoull(field);
        if (index == 15) {
            system = std::stoull(field);
            break;
        }
    }
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

// Waits until the log holds one of the texts; the index of the one found, or -1 on time-out.
int waitForText(const std::string& path, const std::vector<std::string>& texts, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        const std::string log = readText(path);
        for (std::size_t i = 0; i < texts.size(); ++i)
            if (log.find(texts[i]) != std::string::npos) return int(i);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

std::string optionText(int argc, char** argv, const char* name, const std::string& fallback) {
    std::string prefix = std::string("--") + name + "=";
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
            return argv[i] + prefix.size();
    return fallback;
}

// The launcher's share of one core over the given time.
double cpuShare(pid_t pid, long seconds) {
    double before = processSeconds(pid);
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double cpu = processSeconds(pid) - before;
    return cpu / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// Short news for the baseline, and about 1 MB of paragraphs, headings and bullets.
std::string newsText(bool longNews) {
    std::string news = "# Veilstone 1.0\n**The lanterns are lit**\nThe caverns are open.\n";
    while (longNews && news.size() < 1000000)
        news += "# Patch notes\n- Faster **loading** of the deep levels on slow disks\nThe old "
                "mine carts run again between the eastern reach and the sunken archive.\n\n";
    return news;
}

}  // namespace

int main(int argc, char** argv) {
    const long files = optionValue(argc, argv, "files", 400);
    const long mib = optionValue(argc, argv, "mib", 160);
    const long idleSeconds = optionValue(argc, argv, "idle-seconds", 3);
    const std::string launcherFile = optionText(argc, argv, "launcher", VEILSTONE_LAUNCHER);

    TempDir dir;
    Xvfb xvfb;
    if (!xvfb.ok()) {
        fprintf(stderr, "ui: Xvfb did not start\n");
        return 1;
    }
    makeGame(dir / "game", files, mib);
    writeText(dir / "news-short.txt", newsText(false));
    writeText(dir / "news-long.txt", newsText(true));
    auto publish = [&](const char* news) {
        std::string command = std::string(VEILSTONE_RELEASE_TOOL) + " publish --secret " +
                              VEILSTONE_TEST_DATA_DIR + "/demo-release-key.secret --version 1.0 " +
                              "--news '" + dir / news + "' '" + dir / "game" + "' '" +
                              dir / "server" + "' >/dev/null";
        return system(command.c_str()) == 0;
    };
    if (!publish("news-short.txt")) {
        fprintf(stderr, "ui: publishing failed\n");
        return 1;
    }
    NginxServer server(dir / "server", "");
    if (!server.start()) {
        fprintf(stderr, "ui: nginx did not start: %s\n", server.errorLog().c_str());
        return 1;
    }
    fs::create_directories(dir / "launcher");
    fs::copy_file(launcherFile, dir / "launcher/veilstone-launcher");
    std::string log = dir / "launcher/logs/latest.log";

    ChildProcess launcher({dir / "launcher/veilstone-launcher", "--server", server.url(), "--install"},
                          dir / "launcher", {"DISPLAY=" + xvfb.display(), "ASAN_OPTIONS=detect_leaks=0"},
                          dir / "launcher.out");
    auto started = std::chrono::steady_clock::now();
    // A launcher built with another release key refuses the demo release at once; waiting out
    // the install time-out would only hide that.
    const int outcome = waitForText(
        log, {"launcher: installed", "is not signed by the Veilstone release key"}, 600000);
    if (outcome == 1) {
        fprintf(stderr,
                "ui: the launcher does not trust the demo key; build the benchmarks with "
                "-DVEILSTONE_DEMO_KEY=ON\n");
        return 1;
    }
    if (outcome != 0) {
        fprintf(stderr, "ui: the install did not finish\n%s", readText(log).c_str());
        return 1;
    }
    double installSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const pid_t pid = launcher.pid();
    const std::string x = "DISPLAY=" + xvfb.display() + " ";
    const std::string window = trimmed(runShell(x + "xdotool search --onlyvisible --class veilstone | tail -1"));
    const double visible = cpuShare(pid, idleSeconds);

    // Another window takes the focus, away from the launcher's.
    ChildProcess other({"/usr/bin/xlogo", "-geometry", "60x60+1200+720"}, dir.path(), {"DISPLAY=" + xvfb.display()},
                       dir / "xlogo.out");
    std::string otherWindow = trimmed(runShell(x + "xdotool search --sync --class xlogo | tail -1"));
    runShell(x + "xdotool windowfocus --sync " + otherWindow);
    const double unfocused = cpuShare(pid, idleSeconds);

    // A window over the whole screen, with the focus back on the launcher.
    runShell(x + "xdotool windowfocus --sync " + window);
    ChildProcess cover({"/usr/bin/xlogo", "-name", "cover", "-geometry", "1280x800+0+0"}, dir.path(),
                       {"DISPLAY=" + xvfb.display()}, dir / "cover.out");
    runShell(x + "xdotool search --sync --name cover >/dev/null");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double covered = cpuShare(pid, idleSeconds);
    cover.kill(SIGTERM);
    cover.wait(5000);

    runShell(x + "xdotool windowunmap --sync " + window);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double unmapped = cpuShare(pid, idleSeconds);
    runShell(x + "xdotool windowmap --sync " + window);
    runShell(x + "xdotool windowfocus --sync " + window);

    // The same release with long news; "Check for updates" fetches it.
    if (!publish("news-long.txt")) {
        fprintf(stderr, "ui: publishing the long news failed\n");
        return 1;
    }
    runShell(x + "xdotool mousemove --window " + window + " 100 300 click 1");
    runShell(x + "xdotool mousemove --window " + window + " 700 580");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double longNews = cpuShare(pid, idleSeconds);
    other.kill(SIGTERM);
    other.wait(5000);
    launcher.kill(SIGTERM);  // closes like the window's close button, writing the frame summary
    launcher.wait(10000);

    std::string text = readText(log);
    std::regex summary(
        R"(launcher: (\d+) frames, longest gap ([\d.]+) ms, ([\d.]+) ms to build a frame)");
    std::smatch frames;
    if (!std::regex_search(text, frames, summary)) {
        fprintf(stderr, "ui: the launcher wrote no frame summary\n%s", text.c_str());
        return 1;
    }
    printf("ui: install of %ld files, %ld MiB took %.1f s; longest gap between frames %s ms "
           "(%s frames)\n",
           files, mib, installSeconds, frames[2].str().c_str(), frames[1].str().c_str());
    printf("ui: %s ms CPU to build one frame; idle CPU %.0f%% of one core on the PLAY screen\n",
           frames[3].str().c_str(), 100 * visible);
    auto ratio = [&](double share) { return visible > 0 ? share / visible : 0.0; };
    printf("ui: idle CPU without focus %.0f%% (%.2f x visible), covered %.0f%% (%.2f x), unmapped "
           "%.1f%% (%.3f x), visible with 1 MB of news %.0f%% (%.2f x)\n",
           100 * unfocused, ratio(unfocused), 100 * covered, ratio(covered), 100 * unmapped,
           ratio(unmapped), 100 * longNews, ratio(longNews));
    return 0;
}
