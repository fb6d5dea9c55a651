// The commands that make and read keys, hash files and sign, verify and check texts.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/base.h"
#include "release/crypto.h"
#include "release/manifest.h"
#include "tools/commands.h"
#include "tools/keys.h"
#include "tools/packing.h"
#include "tools/text.h"

namespace kd::tool {

int keygen(const Args& args) {
    const std::string* secretPath = args.get("--secret");
    if (!secretPath || !args.positional.empty()) return usage(args.command);
    SecretKey secret;
    std::uint8_t publicKey[kPublicKeyBytes];
    if (!makeKeyPair(secret.bytes, publicKey)) return fail("cannot read random bytes for a key");
    std::string error;
    if (!writeSecretKey(*secretPath, secret, error)) return fail(error);
    printf("%s\n", hexEncode(publicKey, kPublicKeyBytes).c_str());
    return 0;
}

int pubkey(const Args& args) {
    const std::string* secretPath = args.get("--secret");
    if (!secretPath || !args.positional.empty()) return usage(args.command);
    SecretKey secret;
    std::string error;
    if (!readSecretKey(*secretPath, secret, error)) return fail(error);
    printf("%s\n", hexEncode(secret.publicKey(), kPublicKeyBytes).c_str());
    return 0;
}

// Like b2sum, line for line, so that b2sum --check reads the output: every file that can be
// read is printed, "-" is standard input, the others are reported, and the status says whether
// any failed.
int hash(const Args& args) {
    if (args.positional.empty()) return usage(args.command);
    int status = 0;
    for (const std::string& path : args.positional) {
        UniqueFd file;
        if (path != "-") file = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        std::string digest;
        std::uint64_t size = 0;
        if ((path != "-" && !file) ||
            !hashDescriptor(path == "-" ? STDIN_FILENO : file.get(), digest, size)) {
            fflush(stdout);
            fprintf(stderr, "cannot read %s\n", quoteName(path).c_str());
            status = kExitFailure;
            continue;
        }
        bool escaped = false;
        const std::string name = digestLineName(path, escaped);
        printf("%s%s  %s\n", escaped ? "\\" : "", digest.c_str(), name.c_str());
    }
    return status;
}

int sign(const Args& args) {
    const std::string* secretPath = args.get("--secret");
    if (!secretPath || args.positional.empty() || args.positional.size() > 2)
        return usage(args.command);
    SecretKey secret;
    std::string error;
    if (!readSecretKey(*secretPath, secret, error)) return fail(error);
    const std::string& in = args.positional[0];
    std::string text;
    if (!readText(in, text)) return fail("cannot read " + quoteName(in));
    // The signature line follows the body directly; without a final line feed the launcher
    // could not find it.
    if (!text.empty() && text.back() != '\n')
        return fail(quoteName(in) + " does not end with a line feed");
    const std::string signedText = signText(text, secret.bytes);
    if (args.positional.size() == 2) {
        if (writeFileAtomic(args.positional[1], signedText) != 0)
            return fail("cannot write " + quoteName(args.positional[1]));
    } else {
        fwrite(signedText.data(), 1, signedText.size(), stdout);
    }
    return 0;
}

int verify(const Args& args) {
    const std::string* publicHex = args.get("--public");
    if (!publicHex || args.positional.size() != 1) return usage(args.command);
    std::uint8_t publicKey[kPublicKeyBytes];
    if (!readPublicKey(*publicHex, publicKey)) return fail("the public key must be 64 hex digits");
    std::string text, body;
    if (!readText(args.positional[0], text))
        return fail("cannot read " + quoteName(args.positional[0]));
    if (!verifySignedText(text, publicKey, body)) return fail("not signed by this key");
    fwrite(body.data(), 1, body.size(), stdout);
    return 0;
}

int checkManifest(const Args& args) {
    if (args.positional.size() != 1) return usage(args.command);
    std::string text;
    if (!readText(args.positional[0], text))
        return fail("cannot read " + quoteName(args.positional[0]));
    if (const std::string* publicHex = args.get("--public")) {
        std::uint8_t publicKey[kPublicKeyBytes];
        if (!readPublicKey(*publicHex, publicKey))
            return fail("the public key must be 64 hex digits");
        std::string body;
        if (!verifySignedText(text, publicKey, body)) return fail("not signed by this key");
        text = std::move(body);
    }
    Manifest manifest;
    std::string error;
    if (!parseManifest(text, manifest, error)) {
        // The one reader message that ends in a name from the file.
        constexpr std::string_view kTwice = "file listed twice: ";
        if (error.starts_with(kTwice))
            error = std::string(kTwice) + quoteName(error.substr(kTwice.size()));
        return fail(error);
    }
    // The reader keeps hashes as written, but objects are named in lower case: an upper-case
    // hash names an object that is never found.
    if (!isLowerHex(manifest.launcher.hash)) return fail("the launcher hash is not in lower case");
    std::uint64_t size = 0, packed = 0;
    for (const Entry& entry : manifest.files) {
        if (!isLowerHex(entry.hash))
            return fail("hash not in lower case for " + quoteName(entry.path));
        size += entry.size;
        packed += entry.packedSize;
    }
    printf("platform %s\nversion %s\n", quoteName(manifest.platform).c_str(),
           quoteName(manifest.version).c_str());
    if (!manifest.channel.empty()) printf("channel %s\n", quoteName(manifest.channel).c_str());
    if (manifest.serial != 0) printf("serial %llu\n", (unsigned long long)manifest.serial);
    printf("files %zu\nsize %llu\npacked %llu\n", manifest.files.size(), (unsigned long long)size,
           (unsigned long long)packed);
    return 0;
}

}  // namespace kd::tool
