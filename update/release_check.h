// Inside the update engine: judging a signed release before anything is planned from it. Names it
// may not use, the channel it was published for, and whether it goes back behind what this
// launcher has already accepted on that channel (a replayed manifest is signed too).
//
// What was accepted is kept in installDir/".serials", a line per channel: its word, the highest
// serial accepted there, the hash of the manifest text accepted under that serial and a check of
// the line, so that damage shows. The floor of a channel never drops below what the launcher can
// still prove: a damaged line is dropped (the file is kept aside as ".serials.damaged"), but the
// installed record, a signed manifest, still holds its channel's serial.
#pragma once

#include <filesystem>
#include <string>

#include "release/manifest.h"
#include "update/state.h"

namespace kd::launcher {

// Empty when release, checked and signed (text is its signed text), may be offered on channel
// (its word); it is then recorded as accepted. Otherwise the sentence to show: refused, or
// accepted but impossible to record, since a serial that cannot be kept cannot stop a replay.
std::string acceptRelease(const std::filesystem::path& installDir, const Manifest& release,
                          const std::string& text, const std::string& channel,
                          const InstalledRecord& installed);

}  // namespace kd::launcher
