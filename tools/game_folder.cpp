#include "tools/game_folder.h"

#include <algorithm>
#include <system_error>

#include "release/crypto.h"
#include "release/manifest.h"

namespace kd::tool {

namespace fs = std::filesystem;

std::string gameFolderKey(const fs::path& root) {
    std::error_code ec;
    const std::string absolute = fs::absolute(root, ec).lexically_normal().string();
    return hashBuffer(absolute.data(), absolute.size()).substr(0, 32) + " ";
}

bool listGameFiles(const fs::path& root, std::vector<Source>& sources, std::string& error) {
    std::error_code ec;
    if (!fs::is_directory(fs::status(root, ec))) {
        error = root.string() + " is not a folder";
        return false;
    }
    const std::string rootKey = gameFolderKey(root);
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        fs::file_status status = it->symlink_status(ec);
        if (ec) break;
        std::string relative = it->path().lexically_relative(root).generic_string();
        if (isLauncherOwnedPath(relative)) {
            error = "cannot publish a name the launcher keeps for itself: " + relative;
            return false;
        }
        if (fs::is_directory(status)) continue;
        if (fs::is_symlink(status)) {
            error = "cannot publish a symbolic link: " + relative;
            return false;
        }
        if (!fs::is_regular_file(status)) {
            error = "cannot publish a special file: " + relative;
            return false;
        }
        // The reader skips blanks before a path, so such a name would come back different.
        if (!isSafePath(relative) || relative[0] == ' ') {
            error = "cannot publish a file under this name: " + relative;
            return false;
        }
        sources.push_back({relative, it->path(), rootKey + relative});
    }
    if (ec) {
        error = "cannot list " + root.string();
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
