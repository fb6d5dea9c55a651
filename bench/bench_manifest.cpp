// Manifest scale: parse the latest and the installed manifest, index the installed one and look
// every latest entry up in it, and quick-scan an installed game against it (the work of a check
// with nothing to fetch), at N and 10 x N files. Prints the times and, for each step, the ratio
// of 10 x N to N; a linear engine stays near 10. Parse and look-up take the best of 3 runs.
// Usage: bench_manifest [--files=N]   (default 20000, then 200000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "release/manifest.h"
#include "tests/support/temp_dir.h"
#include "update/install.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileBytes = 16;

struct Timing {
    double parse = 1e30, lookUp = 1e30, scan = 0;
};

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool measure(std::size_t files, const fs::path& root, Timing& timing) {
    kd::Manifest manifest;
    manifest.platform = "linux64";
    manifest.version = "bench";
    const fs::path game = root / ("game" + std::to_string(files));
    const std::string content(kFileBytes, 'x');
    for (std::size_t i = 0; i < files; ++i) {
        char hash[65];
        snprintf(hash, sizeof hash, "%064zx", i);
        const std::string path =
            "data/" + std::to_string(i % 100) + "/asset-" + std::to_string(i) + ".bin";
        manifest.files.push_back({hash, kFileBytes, kFileBytes, path});
        fs::create_directories((game / path).parent_path());
        std::ofstream(game / path) << content;
    }
    const std::string text = kd::writeManifest(manifest);

    kd::Manifest latest, installed;
    for (int run = 0; run < 3; ++run) {
        kd::Manifest first, second;  // fresh, so that no run frees the last one's entries
        std::string error;
        const auto start = Clock::now();
        if (!kd::parseManifest(text, first, error) || !kd::parseManifest(text, second, error))
            return false;
        timing.parse = std::min(timing.parse, since(start));
        latest = std::move(first);
        installed = std::move(second);
    }
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        const kd::FileIndex index(installed);
        std::size_t found = 0;
        for (const kd::Entry& entry : latest.files) found += index.find(entry.path) != nullptr;
        timing.lookUp = std::min(timing.lookUp, since(start));
        if (found != files) return false;
    }

    const auto start = Clock::now();
    const kd::FileIndex index(installed);
    std::size_t current = 0;
    for (const kd::Entry& entry : latest.files)
        current += kd::launcher::fileIsCurrent(game, entry, &index, false);
    timing.scan = since(start);
    return current == files;
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
    Timing small, large;
    if (!measure(files, dir.path(), small) || !measure(files * 10, dir.path(), large)) {
        fputs("manifest: a scan found a file out of place\n", stderr);
        return 1;
    }
    for (const auto& [count, t] : {std::pair{files, small}, std::pair{files * 10, large}}) {
        printf("manifest: %zu files: parse %.4f s, index and look-up %.4f s, quick scan %.3f s\n",
               count, t.parse, t.lookUp, t.scan);
    }
    printf(
        "manifest: 10x the files costs: parse %.1fx, index and look-up %.1fx, quick scan %.1fx\n",
        large.parse / small.parse, large.lookUp / small.lookUp, large.scan / small.scan);
    return 0;
}
