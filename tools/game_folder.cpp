#include "tools/game_folder.h"

#include <algorithm>
#include <system_error>

#include "release/crypto.h"
#include "release/manifest.h"
#include "tools/text.h"

namespace kd::tool {

namespace fs = std::filesystem;

namespace {

// What a player's launcher folder can hold. The launcher puts a file at
// LAUNCHER_FOLDER/game/PATH and first writes it beside itself under the copy prefix, and Linux
// takes at most 4,095 bytes in a path and 255 in one name. A release path of at most 3,584 bytes
// (4,096 less 512) whose every name is short enough for the prefix therefore fits under any
// launcher folder of up to 489 bytes.
constexpr std::size_t kMaxPathBytes = 4096 - 512;
constexpr std::size_t kMaxNameBytes = 255 - std::char_traits<char>::length(kCopyPrefix);

bool tooLongForPlayers(const std::string& relative, std::string& error) {
    if (relative.size() > kMaxPathBytes) {
        error = "cannot publish a path longer than " + std::to_string(kMaxPathBytes) +
                " bytes: " + quoteName(relative);
        return true;
    }
    const std::size_t slash = relative.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    if (relative.size() - nameStart > kMaxNameBytes) {
        error = "cannot publish a name longer than " + std::to_string(kMaxNameBytes) +
                " bytes: " + quoteName(relative);
        return true;
    }
    return false;
}

}  // namespace

std::string gameFolderKey(const fs::path& root) {
    std::error_code ec;
    const std::string absolute = fs::absolute(root, ec).lexically_normal().string();
    return hashBuffer(absolute.data(), absolute.size()).substr(0, 32) + " ";
}

bool listGameFiles(const fs::path& root, std::vector<Source>& sources, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(fs::status(root, ec))) {
        error = quoteName(root.string()) + " is not a folder";
        return false;
    }
    const std::string rootKey = gameFolderKey(root);
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        fs::file_status status = it->symlink_status(ec);
        if (ec) break;
        std::string relative = it->path().lexically_relative(root).generic_string();
        // Checked before a folder is entered, so that its names are never listed.
        if (tooLongForPlayers(relative, error)) return false;
        if (isLauncherOwnedPath(relative)) {
            error = "cannot publish a name the launcher keeps for itself: " + quoteName(relative);
            return false;
        }
        if (fs::is_directory(status)) continue;
        if (fs::is_symlink(status)) {
            error = "cannot publish a symbolic link: " + quoteName(relative);
            return false;
        }
        if (!fs::is_regular_file(status)) {
            error = "cannot publish a special file: " + quoteName(relative);
            return false;
        }
        // The reader skips blanks before a path, so such a name would come back different.
        if (!isSafePath(relative) || relative[0] == ' ') {
            error = "cannot publish a file under this name: " + quoteName(relative);
            return false;
        }
        sources.push_back({relative, it->path(), rootKey + relative});
    }
    if (ec) {
        error = "cannot list " + quoteName(root.string());
        return false;
    }
    std::sort(sources.begin(), sources.end(),
              [](const Source& a, const Source& b) { return a.path < b.path; });
    return true;
}

bool serverInsideGame(const fs::path& game, const fs::path& server) {
    std::error_code ec;
    fs::path gameReal = fs::canonical(game, ec);
    if (ec) return false;
    fs::path serverReal = fs::weakly_canonical(fs::absolute(server, ec), ec);
    if (ec) return false;
    auto [g, s] =
        std::mismatch(gameReal.begin(), gameReal.end(), serverReal.begin(), serverReal.end());
    return g == gameReal.end();
}

}  // namespace kd::tool
