// The commands of veilstone-release, each run with its parsed arguments; the result is the exit
// status (0, kExitFailure or kExitUsage).
#pragma once

#include "tools/command_line.h"

namespace kd::tool {

int keygen(const Args& args);
int pubkey(const Args& args);
int hash(const Args& args);
int sign(const Args& args);
int verify(const Args& args);
int checkManifest(const Args& args);
int publish(const Args& args);

}  // namespace kd::tool
