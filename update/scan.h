// Inside the update engine: the deep scan, which hashes every installed file whose size matches
// (a verify, or a game folder without a valid record). The work is shared out among a thread per
// core: whole files, and big files in pieces of their chunk lists, so that one large file does not
// leave the other cores idle. Memory stays at one buffer per thread.
#pragma once

#include <functional>
#include <vector>

#include "release/manifest.h"
#include "update/job.h"

namespace kd::launcher {

// Per entry of files, in order: whether the file in the game folder is a regular file (reached
// through real folders) of the entry's size and content. done gets the share of files finished,
// which only rises, from any of the scan's threads but never two at once.
std::vector<bool> scanDeep(const JobPlace& place, const std::vector<Entry>& files,
                           const std::function<void(double)>& done);

}  // namespace kd::launcher
