// Manifest scale: parse the latest and the installed manifest, index the installed one and look
// every latest entry up in it (in order and backwards), and quick-scan an installed game against it
// (the work of a check with nothing to fetch), at N and 10 x N files. Prints the times and, for
// each step, the ratio of 10 x N to N; a linear engine stays near 10. Parse and look-up take the
// best of 15 rounds in which the two sizes take turns, so that a busy moment of the machine costs
// both alike. Usage: bench_manifest [--files=N]   (default 20000, then 200000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "release/manifest.h"
#include "tests/support/temp_dir.h"
#include "update/install.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileBytes = 16;
constexpr int kRounds = 15;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Release {
    std::size_t files = 0;
    fs::path game;
    std::string text;
    kd::Manifest latest, installed;
    double parse = 1e30, lookUp = 1e30, reversed = 1e30, scan = 0;
};

// The manifest text of `files` files, and the installed game it describes.
void install(Release& r, const fs::path& root) {
    kd::Manifest manifest;
    manifest.platform = "linux64";
    manifest.version = "bench";
    r.game = root / ("game" + std::to_string(r.files));
    const std::string content(kFileBytes, 'x');
    for (std::size_t i = 0; i < r.files; ++i) {
        char hash[65];
        snprintf(hash, sizeof hash, "%064zx", i);
        const std::string path =
            "data/" + std::to_string(i % 100) + "/asset-" + std::to_string(i) + ".bin";
        manifest.files.push_back({hash, kFileBytes, kFileBytes, path});
        fs::create_directories((r.game / path).parent_path());
        std::ofstream(r.game / path) << content;
    }
    r.text = kd::writeManifest(manifest);
}

bool parseBoth(Release& r) {
    kd::Manifest latest, installed;  // fresh, so that no round frees the last one's entries
    std::string error;
    const auto start = Clock::now();
    if (!kd::parseManifest(r.text, latest, error) || !kd::parseManifest(r.text, installed, error))
        return false;
    r.parse = std::min(r.parse, since(start));
    r.latest = std::move(latest);
    r.installed = std::move(installed);
    return true;
}

// In the manifests' order, as an update meets them, in one walk over both lists, and backwards,
// a find at a time, which takes the table for every file.
bool lookUpAll(Release& r) {
    auto start = Clock::now();
    std::size_t found = 0;
    {
        const std::vector<const kd::Entry*> matches =
            kd::FileIndex(r.installed).findEach(r.latest.files);
        found += matches.size() - std::count(matches.begin(), matches.end(), nullptr);
        r.lookUp = std::min(r.lookUp, since(start));
    }
    start = Clock::now();
    const kd::FileIndex index(r.installed);
    for (auto entry = r.latest.files.rbegin(); entry != r.latest.files.rend(); ++entry)
        found += index.find(entry->path) != nullptr;
    r.reversed = std::min(r.reversed, since(start));
    return found == 2 * r.files;
}

bool quickScan(Release& r) {
    const auto start = Clock::now();
    const std::vector<const kd::Entry*> before =
        kd::FileIndex(r.installed).findEach(r.latest.files);
    std::size_t current = 0;
    for (std::size_t i = 0; i < before.size(); ++i)
        current += kd::launcher::fileIsCurrent(r.game, r.latest.files[i], before[i], false);
    r.scan = since(start);
    return current == r.files;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t files = 20000;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--files=", 8) != 0) {
            fputs("usage: bench_manifest [--files=N]\n", stderr);
            return 2;
        }
        files = std::strtoul(argv[i] + 8, nullptr, 10);
    }
    kd::test::TempDir dir;
    Release releases[2];
    releases[0].files = files;
    releases[1].files = files * 10;
    for (Release& r : releases) install(r, dir.path());
    for (int round = 0; round < kRounds; ++round) {
        for (Release& r : releases) {
            if (!parseBoth(r) || !lookUpAll(r)) {
                fputs("manifest: a look-up missed a file\n", stderr);
                return 1;
            }
        }
    }
    for (Release& r : releases) {
        if (!quickScan(r)) {
            fputs("manifest: a scan found a file out of place\n", stderr);
            return 1;
        }
        printf(
            "manifest: %zu files: parse %.4f s, index and look-up %.4f s (backwards %.4f s), "
            "quick scan %.3f s\n",
            r.files, r.parse, r.lookUp, r.reversed, r.scan);
    }
    const Release &small = releases[0], &large = releases[1];
    printf(
        "manifest: 10x the files costs: parse %.1fx, index and look-up %.1fx (backwards %.1fx), "
        "quick scan %.1fx\n",
        large.parse / small.parse, large.lookUp / small.lookUp, large.reversed / small.reversed,
        large.scan / small.scan);
    return 0;
}
