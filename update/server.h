// Inside the update engine: the signed texts of a channel's folder on the update server ("news.txt"
// and the platform manifest), each checked against the release key before anything reads it.
#pragma once

#include <string>

#include "update/job.h"

namespace kd::launcher {

struct SignedFetch {
    std::string text;  // as the server sent it
    std::string body;  // what the signature covers
    // What the server's answer says of the playtester key: Accepted or Refused for a Testing
    // request it answered (with the file, or with 403), None otherwise.
    KeyState key = KeyState::None;
};

// GETs name from the channel's folder, with the key header for Testing. False with the sentence
// to show: the transfer's, "playtester key not accepted" for a 403 on Testing, or the name
// followed by " is not signed by the Veilstone release key".
bool fetchSigned(const JobPlace& place, Channel channel, const std::string& testerKey,
                 const std::string& name, SignedFetch& out, std::string& error);

// "manifest-linux64.txt".
std::string manifestName();
constexpr const char* kNewsName = "news.txt";

}  // namespace kd::launcher
