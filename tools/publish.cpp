// publish: packs a game folder into the server folder's objects, then writes the signed news and,
// last, the signed manifest that names them, numbered one above the release already there.
#include <fcntl.h>
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
#include "tools/launcher_server.h"
#include "tools/packing.h"
#include "tools/publish_cache.h"
#include "tools/server_folder.h"
#include "tools/text.h"

namespace kd::tool {

namespace fs = std::filesystem;

namespace {

struct Options {
    std::string version, platform, channel;
    const std::string* secretPath = nullptr;
    const std::string* newsPath = nullptr;
    const std::string* launcherPath = nullptr;
    fs::path gameDir, serverDir;
    bool quiet = false, showProgress = false, allowEmpty = false, launcherServerOk = false;
};

// 0 when the arguments make a publish, else the status to end with.
int readOptions(const Args& args, Options& options) {
    options.secretPath = args.get("--secret");
    const std::string* version = args.get("--version");
    if (!options.secretPath || !version || args.positional.size() != 2) return usage(args.command);
    const std::string* platform = args.get("--platform");
    const std::string* channel = args.get("--channel");
    options.version = *version;
    options.platform = platform ? *platform : platformName();
    options.channel = channel ? *channel : "live";
    if (options.channel != "live" && options.channel != "testing") return usage(args.command);
    if (!isOneWord(options.version)) return fail("the version must be one word");
    if (!isOneWord(options.platform)) return fail("the platform must be one word");
    options.newsPath = args.get("--news");
    options.launcherPath = args.get("--launcher");
    options.gameDir = args.positional[0];
    options.serverDir = args.positional[1];
    options.quiet = args.has("--quiet");
    options.showProgress = !options.quiet && (args.has("--progress") || isatty(STDERR_FILENO));
    options.allowEmpty = args.has("--allow-empty");
    options.launcherServerOk = args.has("--launcher-server-ok");
    return 0;
}

// The launcher's object, after its server was checked against the launcher players have.
bool publishLauncher(const Options& options, const Manifest& previous, const fs::path& objects,
                     const PublishCache& cache, Entry& launcher, ObjectStates& states,
                     std::string& error) {
    const std::string& path = *options.launcherPath;
    if (!hashWhole(path, launcher.hash, launcher.size)) {
        error = "cannot read " + quoteName(path);
        return false;
    }
    if (!checkLauncherServer(path, launcher.hash, previous, objects, options.launcherServerOk,
                             error))
        return false;
    ObjectState state;
    const ObjectResult result =
        provideObject(path, path, launcher.hash, launcher.size, objects, cache, state, error);
    if (result == ObjectResult::Changed)
        error = quoteName(path) + " changed while it was being published";
    if (result != ObjectResult::Ready) return false;
    launcher.packedSize = state.packedSize;
    states[launcher.hash] = state;
    return true;
}

// New objects must be on the disk before a manifest that names them is: after a power cut a
// player must not find the manifest and not its objects.
void flushObjects(const fs::path& objects) {
    UniqueFd folder(::open(objects.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) (void)::syncfs(folder.get());
}

}  // namespace

int publish(const Args& args) {
    const auto started = std::chrono::steady_clock::now();
    Options options;
    if (const int status = readOptions(args, options)) return status;

    SecretKey secret;
    std::string error, news;
    if (!readSecretKey(*options.secretPath, secret, error)) return fail(error);
    if (options.newsPath) {
        if (!readText(*options.newsPath, news))
            return fail("cannot read " + quoteName(*options.newsPath));
        // The signature line must start a line of its own.
        if (!news.empty() && news.back() != '\n') news += '\n';
    }

    std::vector<Source> sources;
    if (!listGameFiles(options.gameDir, sources, error)) return fail(error);
    if (serverInsideGame(options.gameDir, options.serverDir))
        return fail("the server folder must not be the game folder or inside it");
    // Players would have every installed file removed.
    if (sources.empty() && !options.allowEmpty)
        return fail(
            "the game folder holds no files; give --allow-empty to publish an empty release");

    FileLock lock;
    if (!lockServerFolder(options.serverDir, options.quiet, lock, error)) return fail(error);
    removeLeftoverParts(options.serverDir);

    const fs::path objects = options.serverDir / "objects";
    const fs::path channelDir =
        options.channel == "testing" ? options.serverDir / "testing" : options.serverDir;
    const fs::path manifestFile = channelDir / ("manifest-" + options.platform + ".txt");
    Manifest previous, manifest;
    if (!readPreviousRelease(manifestFile, secret.publicKey(), previous, error)) return fail(error);
    manifest.serial = previous.serial + 1;
    manifest.channel = options.channel;
    manifest.platform = options.platform;
    manifest.version = options.version;

    std::error_code ec;
    fs::create_directories(objects, ec);
    fs::create_directories(channelDir, ec);
    if (!fs::is_directory(objects) || !fs::is_directory(channelDir))
        return fail("cannot create folders in " + quoteName(options.serverDir.string()));

    const fs::path cacheFile = options.serverDir / kCacheName;
    std::string warning;
    const PublishCache cache = readPublishCache(cacheFile, warning);
    if (!warning.empty()) fprintf(stderr, "warning: %s\n", warning.c_str());
    ObjectStates states;
    if (options.launcherPath &&
        !publishLauncher(options, previous, objects, cache, manifest.launcher, states, error))
        return fail(error);
    std::vector<PackedFile> files;
    if (!packFiles(sources, cache, objects, options.showProgress, files, states, error))
        return fail(error);
    // Copies made of a damaged object (an upload, a cache) must be replaced too.
    for (const auto& [hash, state] : states)
        if (state.replaced)
            fprintf(stderr, "warning: %s was damaged and is written again; upload it again\n",
                    quoteName((objects / hash).string()).c_str());
    Totals totals;
    countTotals(files, states, totals);
    std::uint64_t packed = 0;
    for (const PackedFile& file : files) {
        packed += file.entry.packedSize;
        manifest.files.push_back(file.entry);
    }

    // Whatever the writer produces must read back as the same record in the launcher.
    const std::string text = writeManifest(manifest);
    Manifest check;
    if (!parseManifest(text, check, error) || !(check == manifest))
        return fail("the manifest would not read back: " + error);

    // Objects first, then the news, the manifest last: a reader never sees a manifest whose
    // objects are missing.
    if (totals.newObjects > 0) flushObjects(objects);
    const fs::path newsFile = channelDir / "news.txt";
    if (options.newsPath && writeFileAtomic(newsFile, signText(news, secret.bytes)) != 0)
        return fail("cannot write " + quoteName(newsFile.string()));
    if (writeFileAtomic(manifestFile, signText(text, secret.bytes)) != 0)
        return fail("cannot write " + quoteName(manifestFile.string()));
    writePublishCache(cacheFile, updatedCache(cache, gameFolderKey(options.gameDir), sources, files,
                                              states, objects));

    if (!options.quiet) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        printf(
            "published %s for %s on the %s channel as serial %llu: %zu files, %llu bytes, "
            "%llu packed bytes, %zu new objects, %zu reused, %zu files unchanged, %.2f s\n",
            quoteName(options.version).c_str(), quoteName(options.platform).c_str(),
            options.channel.c_str(), (unsigned long long)manifest.serial, manifest.files.size(),
            (unsigned long long)totals.bytes, (unsigned long long)packed, totals.newObjects,
            totals.reusedObjects, totals.unchangedFiles, seconds);
    }
    return 0;
}

}  // namespace kd::tool
