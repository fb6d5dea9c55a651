// The game folder as publish sees it: every regular file under it, with the name the manifest
// will give it, or the reason the folder cannot be published as it is.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kd::tool {

struct Source {
    std::string path;            // relative, '/'-separated: the manifest path
    std::filesystem::path file;  // where it is on disk
    std::string cacheKey;        // which game folder (a hash of its absolute path), then path
};

// Names a game folder in the publish cache without writing the publisher's own paths into a
// folder that is served; every cache key of a file in this folder starts with it.
std::string gameFolderKey(const std::filesystem::path& root);

// Every regular file under root, sorted by path. Anything the launcher could not reproduce
// exactly (links, devices, unsafe names, its own state files) is refused rather than silently
// left out. The folder itself may be reached through a link; links inside it are refused.
bool listGameFiles(const std::filesystem::path& root, std::vector<Source>& sources,
                   std::string& error);

// A server folder in the game folder would be published into itself and grow every time.
bool serverInsideGame(const std::filesystem::path& game, const std::filesystem::path& server);

}  // namespace kd::tool
