// veilstone-release: the publisher's side of the update server. Makes release keys, hashes and
// signs texts, checks manifests, and publishes a game folder as packed objects plus a signed
// manifest (and news) that the launcher will accept.
#include <cstdio>
#include <string>

#include "tools/command_line.h"
#include "tools/commands.h"

namespace kd::tool {

namespace {

const Command kCommands[] = {
    {"keygen",
     "keygen --secret FILE",
     "Makes a release key pair: the secret goes to FILE (mode 0600, never overwritten),\n"
     "the public key is printed as 64 hex digits for VEILSTONE_RELEASE_KEY.\n",
     {"--secret"},
     {},
     keygen},
    {"pubkey",
     "pubkey --secret FILE",
     "Prints the public key of a secret key file.\n",
     {"--secret"},
     {},
     pubkey},
    {"hash",
     "hash FILE...",
     "Prints the BLAKE2b-256 digest and name of each file (- is standard input) the way\n"
     "b2sum -l 256 does, so that b2sum --check reads it; a file that cannot be read is\n"
     "reported and the rest still hashed.\n",
     {},
     {},
     hash},
    {"sign",
     "sign --secret FILE IN [OUT]",
     "Appends a signature line to IN, which must end with a line feed; writes OUT or stdout.\n",
     {"--secret"},
     {},
     sign},
    {"verify",
     "verify --public HEX FILE",
     "Checks a signed text against a public key and prints its body.\n",
     {"--public"},
     {},
     verify},
    {"check-manifest",
     "check-manifest [--public HEX] FILE",
     "Reads a manifest (signed, when --public is given) as the launcher would, refuses hashes a\n"
     "launcher could not install, and prints a summary.\n",
     {"--public"},
     {},
     checkManifest},
    {"publish",
     "publish --secret FILE --version V [--platform P] [--channel live|testing]\n"
     "                [--news FILE] [--launcher FILE [--launcher-server-ok]] [--allow-empty]\n"
     "                [--progress] [--quiet] GAME_DIR SERVER_DIR",
     "Packs every file of GAME_DIR into SERVER_DIR/objects, then writes the signed news and\n"
     "manifest for the channel (testing under SERVER_DIR/testing), numbered one above the serial\n"
     "of the manifest already there. Objects are written before the texts that name them.\n"
     "Paths are refused longer than 3584 bytes, or with a name longer than 239 bytes, so that\n"
     "any launcher folder of up to 489 bytes holds the release.\n"
     "  --launcher-server-ok  publish a launcher that names another server than the launcher\n"
     "                        of the release before it (players move to that server)\n"
     "  --allow-empty         publish a release without files (players' files are removed)\n"
     "  --progress            show progress on stderr even when it is not a terminal\n"
     "  --quiet               print neither progress nor the summary\n",
     {"--secret", "--version", "--platform", "--channel", "--news", "--launcher"},
     {"--allow-empty", "--progress", "--quiet", "--launcher-server-ok"},
     publish},
};

}  // namespace

std::span<const Command> commands() { return kCommands; }

}  // namespace kd::tool

int main(int argc, char** argv) {
    using namespace kd::tool;
    if (argc < 2) return usage();
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        printUsage(stdout, nullptr);
        printf("\nveilstone-release COMMAND --help tells more about one command.\n");
        return 0;
    }
    for (const Command& command : commands()) {
        if (first != command.name) continue;
        const Args args(argc, argv, command);
        if (args.help) {
            printUsage(stdout, &command);
            printf("\n%s", command.help);
            return 0;
        }
        return args.bad ? usage(&command) : command.run(args);
    }
    return usage();
}
