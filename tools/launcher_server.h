// Which update server a launcher executable talks to. The launcher's build puts the URL it is
// compiled with into the executable behind a marker (app/build_config.cpp); a launcher published
// with another URL than the one players have would move every player to that server at its
// self-update, so publish asks before it does.
#pragma once

#include <filesystem>
#include <string>

#include "release/manifest.h"

namespace kd::tool {

// Whether the release's launcher (launcherFile, whose content hash is launcherHash) names the
// server that the launcher of the previous release names; that one is read from its object in
// objects. A release before that named no launcher leaves nothing to compare. When the two
// differ, or either cannot be read, the publish is refused unless serverOk, and then a warning
// says why on stderr.
bool checkLauncherServer(const std::filesystem::path& launcherFile, const std::string& launcherHash,
                         const Manifest& previous, const std::filesystem::path& objects,
                         bool serverOk, std::string& error);

}  // namespace kd::tool
