// The command line of veilstone-release: the table of commands (each with the function that runs
// it), the options each takes, and the two ways a command ends badly.
#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kd::tool {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Args;

struct Command {
    const char* name;
    const char* usage;                 // the lines after "usage: veilstone-release "
    const char* help;                  // what the options mean, for --help
    std::vector<std::string> options;  // take a value
    std::vector<std::string> flags;    // take none
    int (*run)(const Args&);
};

// Every command, in the order the usage lists them.
std::span<const Command> commands();

// "--name value" options and bare flags anywhere, everything else positional; "--" ends options.
struct Args {
    const Command* command = nullptr;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> flags;
    std::vector<std::string> positional;
    bool bad = false;
    bool help = false;

    Args(int argc, char** argv, const Command& of);
    // The last value given for an option, or null.
    const std::string* get(const std::string& name) const;
    bool has(const std::string& flag) const;
};

// The usage of one command, or of all when only is null.
void printUsage(FILE* to, const Command* only);
// Prints the usage to stderr and returns the usage status.
int usage(const Command* command = nullptr);
// Prints the sentence to stderr and returns the failure status.
int fail(const std::string& message);

}  // namespace kd::tool
