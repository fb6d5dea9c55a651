// verifySignedText on arbitrary bytes under a fixed key: it must never crash, a refused text must
// leave the body as it was, and an accepted one must yield the text's own leading bytes followed
// by exactly one signature line. Seeds (fuzz/seeds/fuzz_signed_text) are signed with the key of
// kFuzzSeed.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "release/crypto.h"

namespace {

constexpr char kFuzzSeed[] = "veilstone-fuzz-signed-text-seed!";
static_assert(sizeof kFuzzSeed - 1 == kd::kSeedBytes);

struct FuzzKey {
    std::uint8_t secretKey[kd::kSecretKeyBytes];
    std::uint8_t publicKey[kd::kPublicKeyBytes];
    FuzzKey() {
        kd::keyPairFromSeed(reinterpret_cast<const std::uint8_t*>(kFuzzSeed), secretKey, publicKey);
    }
};

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// What follows an accepted body: "signature ", 128 hex digits, at most one line feed.
bool isSignatureLine(std::string_view rest) {
    if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
    if (rest.size() != 10 + 128 || !rest.starts_with("signature ")) return false;
    for (char c : rest.substr(10)) {
        if (!isHexDigit(c)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const FuzzKey key;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string previous = "previous body\n";
    std::string body = previous;
    if (!kd::verifySignedText(text, key.publicKey, body)) {
        if (body != previous) std::abort();
        return 0;
    }
    if (!text.starts_with(body)) std::abort();
    if (!body.empty() && body.back() != '\n') std::abort();
    if (!isSignatureLine(text.substr(body.size()))) std::abort();
    return 0;
}
