// Hex codec, BLAKE2b-256 hashing (blake2b.h) and the signed-text format on top of the EdDSA of
// eddsa.h.
#include "release/crypto.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/base.h"
#include "release/blake2b.h"
#include "release/eddsa.h"

namespace kd {
namespace {

constexpr std::size_t kFilePieceBytes = 65536;
constexpr std::string_view kSignaturePrefix = "signature ";
constexpr char kRandomDevice[] = "/dev/urandom";

}  // namespace

std::string hexEncode(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(2 * count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    return text;
}

bool hexDecode(std::string_view text, std::uint8_t* out, std::size_t count) {
    if (text.size() != 2 * count) return false;
    for (std::size_t i = 0; i < count; ++i) {
        int high = hexValue(text[2 * i]);
        int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<std::uint8_t>(16 * high + low);
    }
    return true;
}

struct FileHasher::State {
    Blake2b context;
};

FileHasher::FileHasher() : state_(std::make_unique<State>()) {}

FileHasher::~FileHasher() = default;

void FileHasher::add(const void* bytes, std::size_t length) {
    if (length == 0) return;
    state_->context.update(bytes, length);
}

std::string FileHasher::finish() {
    std::uint8_t digest[kDigestBytes];
    state_->context.final(digest);
    return hexEncode(digest, kDigestBytes);
}

std::string hashBuffer(const void* bytes, std::size_t length) {
    Blake2b context;
    context.update(bytes, length);
    std::uint8_t digest[kDigestBytes];
    context.final(digest);
    return hexEncode(digest, kDigestBytes);
}

std::string hashFile(const std::string& path) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return {};
    FileHasher hasher;
    std::vector<std::uint8_t> piece(kFilePieceBytes);
    for (;;) {
        const long got = readSome(file.get(), piece.data(), piece.size());
        if (got < 0) return {};  // a directory ends here too (EISDIR)
        if (got == 0) break;
        hasher.add(piece.data(), static_cast<std::size_t>(got));
    }
    return hasher.finish();
}

bool verifySignedText(std::string_view text, const std::uint8_t publicKey[kPublicKeyBytes],
                      std::string& body) {
    // Only one final line feed belongs to the signature line.
    std::size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') --end;
    std::size_t lastFeed = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
    std::size_t signedLength = lastFeed == std::string_view::npos ? 0 : lastFeed + 1;
    std::string_view line = text.substr(signedLength, end - signedLength);

    if (!line.starts_with(kSignaturePrefix)) return false;
    std::uint8_t signature[kSignatureBytes];
    if (!hexDecode(line.substr(kSignaturePrefix.size()), signature, kSignatureBytes)) return false;
    if (!eddsaCheck(signature, publicKey, reinterpret_cast<const std::uint8_t*>(text.data()),
                    signedLength)) {
        return false;
    }
    body.assign(text.substr(0, signedLength));
    return true;
}

std::string signText(std::string_view text, const std::uint8_t secretKey[kSecretKeyBytes]) {
    std::uint8_t signature[kSignatureBytes];
    eddsaSign(signature, secretKey, reinterpret_cast<const std::uint8_t*>(text.data()),
              text.size());
    std::string signedText;
    signedText.reserve(text.size() + kSignaturePrefix.size() + 2 * kSignatureBytes + 1);
    signedText.append(text);
    signedText.append(kSignaturePrefix);
    signedText.append(hexEncode(signature, kSignatureBytes));
    signedText.push_back('\n');
    return signedText;
}

bool makeKeyPair(std::uint8_t secretKey[kSecretKeyBytes], std::uint8_t publicKey[kPublicKeyBytes]) {
    UniqueFd device(::open(kRandomDevice, O_RDONLY | O_CLOEXEC));
    if (!device) return false;
    std::uint8_t seed[kSeedBytes];
    std::size_t have = 0;
    while (have < kSeedBytes) {
        const long got = readSome(device.get(), seed + have, kSeedBytes - have);
        if (got <= 0) break;
        have += static_cast<std::size_t>(got);
    }
    if (have == kSeedBytes) eddsaKeyPair(secretKey, publicKey, seed);
    sodium_memzero(seed, sizeof seed);
    return have == kSeedBytes;
}

void keyPairFromSeed(const std::uint8_t seed[kSeedBytes], std::uint8_t secretKey[kSecretKeyBytes],
                     std::uint8_t publicKey[kPublicKeyBytes]) {
    eddsaKeyPair(secretKey, publicKey, seed);
}

}  // namespace kd
