// publish: packs a game folder into the server folder's objects, then writes the signed news and,
// last, the signed manifest that names them, numbered one above the release already there.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/base.h"
#include "release/crypto.h"
#include "release/manifest.h"
#include "tools/commands.h"
#include "tools/game_folder.h"
#include "tools/keys.h"
#include "tools/packing.h"
#include "tools/publish_cache.h"
#include "tools/text.h"

namespace kd::tool {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLockName = ".publish-lock";

// The serial of the release already published here, 0 when there is none. A manifest signed by
// another key still counts: launchers that saw its serial would refuse anything lower.
bool previousSerial(const fs::path& file, const std::uint8_t* publicKey, std::uint64_t& serial,
                    std::string& error) {
    serial = 0;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file, ec))) return true;
    std::string text, body;
    Manifest previous;
    std::string ignored;
    if (readText(file.string(), text) &&
        parseManifest(verifySignedText(text, publicKey, body) ? body : text, previous, ignored) &&
        previous.serial != UINT64_MAX) {
        serial = previous.serial;
        return true;
    }
    error = "cannot number this release: the manifest at " + file.string() + " cannot be read";
    return false;
}

// One publish at a time per server folder: two at once would take the same serial, and the
// later cache would forget what the other packed. The lock ends with the process.
bool lockServerFolder(const fs::path& serverDir, bool quiet, FileLock& lock, std::string& error) {
    std::error_code ec;
    fs::create_directories(serverDir, ec);
    const fs::path lockFile = serverDir / kLockName;
    FileLock::Result result = lock.lock(lockFile, 0);
    if (result == FileLock::Result::Failed) {
        error = "cannot create folders in " + serverDir.string();
        return false;
    }
    if (result == FileLock::Result::Busy) {
        if (!quiet) fprintf(stderr, "waiting for another publish to %s\n", serverDir.c_str());
        if (lock.lock(lockFile, -1) != FileLock::Result::Locked) {
            error = "cannot lock " + serverDir.string();
            return false;
        }
    }
    return true;
}

// Other game folders published here keep their records; this one's are replaced.
void updateCache(const fs::path& cacheFile, const Cache& cache, const fs::path& gameDir,
                 const std::vector<Source>& sources, const std::vector<Packed>& results) {
    Cache updated;
    const std::string gameKey = gameFolderKey(gameDir);
    for (const auto& [key, known] : cache)
        if (key.rfind(gameKey, 0) != 0) updated.emplace(key, known);
    for (std::size_t i = 0; i < results.size(); ++i)
        if (settled(results[i].identity, results[i].lookedAtNs))
            updated[sources[i].cacheKey] = {results[i].identity, results[i].entry.hash,
                                            results[i].entry.packedSize};
    writeCache(cacheFile, updated);
}

}  // namespace

int publish(const Args& args) {
    const std::string* secretPath = args.get("--secret");
    const std::string* version = args.get("--version");
    const std::string* platformArg = args.get("--platform");
    const std::string* channelArg = args.get("--channel");
    const std::string* newsPath = args.get("--news");
    const std::string* launcherPath = args.get("--launcher");
    if (!secretPath || !version || args.positional.size() != 2) return usage(args.command);
    std::string platform = platformArg ? *platformArg : platformName();
    std::string channel = channelArg ? *channelArg : "live";
    if (channel != "live" && channel != "testing") return usage(args.command);
    if (!isOneWord(*version)) return fail("the version must be one word");
    if (!isOneWord(platform)) return fail("the platform must be one word");
    bool quiet = args.has("--quiet");
    bool showProgress = !quiet && (args.has("--progress") || isatty(STDERR_FILENO));
    auto started = std::chrono::steady_clock::now();

    SecretKey secret;
    std::string error;
    if (!readSecretKey(*secretPath, secret, error)) return fail(error);

    std::string news;
    if (newsPath) {
        if (!readText(*newsPath, news)) return fail("cannot read " + *newsPath);
        // The signature line must start a line of its own.
        if (!news.empty() && news.back() != '\n') news += '\n';
    }

    const fs::path gameDir = args.positional[0], serverDir = args.positional[1];
    std::vector<Source> sources;
    if (!listGameFiles(gameDir, sources, error)) return fail(error);
    if (serverInsideGame(gameDir, serverDir))
        return fail("the server folder must not be the game folder or inside it");
    // Players would have every installed file removed.
    if (sources.empty() && !args.has("--allow-empty"))
        return fail(
            "the game folder holds no files; give --allow-empty to publish an empty release");

    FileLock lock;
    if (!lockServerFolder(serverDir, quiet, lock, error)) return fail(error);

    fs::path objects = serverDir / "objects";
    fs::path channelDir = channel == "testing" ? serverDir / "testing" : serverDir;
    fs::path manifestFile = channelDir / ("manifest-" + platform + ".txt");
    Manifest manifest;
    if (!previousSerial(manifestFile, secret.publicKey(), manifest.serial, error))
        return fail(error);
    ++manifest.serial;
    manifest.channel = channel;
    manifest.platform = platform;
    manifest.version = *version;

    std::error_code ec;
    fs::create_directories(objects, ec);
    fs::create_directories(channelDir, ec);
    if (!fs::is_directory(objects) || !fs::is_directory(channelDir))
        return fail("cannot create folders in " + serverDir.string());

    Totals totals;
    if (launcherPath) {
        Packed launcher;
        if (!hashWhole(*launcherPath, launcher.entry.hash, launcher.entry.size))
            return fail("cannot read " + *launcherPath);
        if (!publishObject(*launcherPath, *launcherPath, objects, launcher, error))
            return fail(error);
        manifest.launcher = launcher.entry;
        ++(launcher.isNew ? totals.newObjects : totals.reusedObjects);
    }
    const fs::path cacheFile = serverDir / kCacheName;
    const Cache cache = readCache(cacheFile);
    std::vector<Packed> results;
    if (!publishAll(sources, cache, objects, showProgress, results, totals, error))
        return fail(error);
    std::uint64_t packed = 0;
    for (const Packed& result : results) {
        packed += result.entry.packedSize;
        manifest.files.push_back(result.entry);
    }

    // Whatever the writer produces must read back as the same record in the launcher.
    std::string text = writeManifest(manifest);
    Manifest check;
    if (!parseManifest(text, check, error) || !(check == manifest))
        return fail("the manifest would not read back: " + error);

    // Objects first, then the news, the manifest last: a reader never sees a manifest whose
    // objects are missing.
    if (newsPath && writeFileAtomic(channelDir / "news.txt", signText(news, secret.bytes)) != 0)
        return fail("cannot write " + (channelDir / "news.txt").string());
    if (writeFileAtomic(manifestFile, signText(text, secret.bytes)) != 0)
        return fail("cannot write " + manifestFile.string());
    updateCache(cacheFile, cache, gameDir, sources, results);

    if (!quiet) {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        printf(
            "published %s for %s on the %s channel as serial %llu: %zu files, %llu bytes, "
            "%llu packed bytes, %zu new objects, %zu reused, %zu files unchanged, %.2f s\n",
            version->c_str(), platform.c_str(), channel.c_str(),
            (unsigned long long)manifest.serial, manifest.files.size(),
            (unsigned long long)totals.bytes, (unsigned long long)packed, totals.newObjects,
            totals.reusedObjects, totals.unchangedFiles, seconds);
    }
    return 0;
}

}  // namespace kd::tool
