#include "tools/server_folder.h"

#include <cstdio>
#include <string_view>
#include <system_error>

#include "release/crypto.h"
#include "tools/publish_cache.h"
#include "tools/text.h"

namespace kd::tool {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPartSuffix = ".part";

// NAME.part, as base's atomic writes leave it, or NAME.PID-N.part, as packing (and older tools
// for every file) names its own.
std::string_view partOf(std::string_view name) {
    if (!name.ends_with(kPartSuffix)) return {};
    name.remove_suffix(kPartSuffix.size());
    const std::size_t dot = name.rfind('.'), dash = name.rfind('-');
    if (dot != std::string_view::npos && dash != std::string_view::npos && dash > dot + 1 &&
        dash + 1 < name.size() &&
        name.substr(dot + 1).find_first_not_of("0123456789-") == std::string_view::npos)
        name = name.substr(0, dot);
    return name;
}

bool isObjectPart(std::string_view name) {
    const std::string_view object = partOf(name);
    return object.size() == 2 * kDigestBytes && isLowerHex(object);
}

bool isTextPart(std::string_view name) {
    const std::string_view text = partOf(name);
    return text == "news.txt" || text == kCacheName ||
           (text.starts_with("manifest-") && text.ends_with(".txt"));
}

void removeParts(const fs::path& folder, bool (*isPart)(std::string_view)) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        if (isPart(it->path().filename().string()) && !it->is_directory(kind))
            fs::remove(it->path(), kind);
    }
}

}  // namespace

bool lockServerFolder(const fs::path& serverDir, bool quiet, FileLock& lock, std::string& error) {
    std::error_code ec;
    fs::create_directories(serverDir, ec);
    const fs::path lockFile = serverDir / kLockName;
    const FileLock::Result result = lock.lock(lockFile, 0);
    if (result == FileLock::Result::Failed) {
        error = "cannot create folders in " + quoteName(serverDir.string());
        return false;
    }
    if (result == FileLock::Result::Busy) {
        if (!quiet)
            fprintf(stderr, "waiting for another publish to %s\n",
                    quoteName(serverDir.string()).c_str());
        if (lock.lock(lockFile, -1) != FileLock::Result::Locked) {
            error = "cannot lock " + quoteName(serverDir.string());
            return false;
        }
    }
    return true;
}

void removeLeftoverParts(const fs::path& serverDir) {
    removeParts(serverDir / "objects", isObjectPart);
    removeParts(serverDir, isTextPart);
    removeParts(serverDir / "testing", isTextPart);
}

bool readPreviousRelease(const fs::path& file, const std::uint8_t* publicKey, Manifest& previous,
                         std::string& error) {
    previous = Manifest();
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file, ec))) return true;
    std::string text, body, ignored;
    if (readText(file.string(), text) &&
        parseManifest(verifySignedText(text, publicKey, body) ? body : text, previous, ignored) &&
        previous.serial != UINT64_MAX)
        return true;
    error = "cannot number this release: the manifest at " + quoteName(file.string()) +
            " cannot be read";
    return false;
}

}  // namespace kd::tool
