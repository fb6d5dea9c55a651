#include "tools/command_line.h"

#include <algorithm>

namespace kd::tool {

Args::Args(int argc, char** argv, const Command& of) : command(&of) {
    bool optionsEnded = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto known = [&](const std::vector<std::string>& names) {
            return std::find(names.begin(), names.end(), arg) != names.end();
        };
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (known(of.flags)) {
            flags.push_back(arg);
        } else if (known(of.options) && i + 1 < argc) {
            options.emplace_back(arg, argv[++i]);
        } else {
            bad = true;
        }
    }
}

const std::string* Args::get(const std::string& name) const {
    const std::string* found = nullptr;
    for (const auto& [key, value] : options)
        if (key == name) found = &value;
    return found;
}

bool Args::has(const std::string& flag) const {
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

void printUsage(FILE* to, const Command* only) {
    const char* lead = "usage: ";
    for (const Command& command : commands()) {
        if (only && only != &command) continue;
        fprintf(to, "%sveilstone-release %s\n", lead, command.usage);
        lead = "       ";
    }
}

int usage(const Command* command) {
    printUsage(stderr, command);
    return kExitUsage;
}

int fail(const std::string& message) {
    fprintf(stderr, "%s\n", message.c_str());
    return kExitFailure;
}

}  // namespace kd::tool
