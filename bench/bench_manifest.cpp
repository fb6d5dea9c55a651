// Manifest scale: parse a manifest, index the installed one and quick-scan an installed game
// against it (the work of a check with nothing to fetch), at N and 10 x N files. Prints both
// times and their ratio; a linear engine stays near 10.
// Usage: bench_manifest [--files=N]   (default 10000, then 100000)
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

struct Timing {
    double parse = 0, scan = 0;
};

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

    auto start = Clock::now();
    kd::Manifest latest, installed;
    std::string error;
    if (!kd::parseManifest(text, latest, error) || !kd::parseManifest(text, installed, error))
        return false;
    timing.parse = std::chrono::duration<double>(Clock::now() - start).count();

    start = Clock::now();
    const kd::FileIndex index(installed);
    std::size_t current = 0;
    for (const kd::Entry& entry : latest.files)
        current += kd::launcher::fileIsCurrent(game, entry, &index, false);
    timing.scan = std::chrono::duration<double>(Clock::now() - start).count();
    return current == files;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t files = 10000;
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
    const double a = small.parse + small.scan, b = large.parse + large.scan;
    printf("manifest: %zu files: parse %.3f s, plan and quick scan %.3f s\n", files, small.parse,
           small.scan);
    printf("manifest: %zu files: parse %.3f s, plan and quick scan %.3f s\n", files * 10,
           large.parse, large.scan);
    printf("manifest: 10x the files costs %.1fx the time\n", b / a);
    return 0;
}
