// Hashing and signed texts: the two checks everything the launcher trusts rests on.
// Digest text is BLAKE2b-256 as 64 lowercase hex digits. A signed text is a body followed by the
// line "signature " + 128 hex digits of an EdDSA (edwards25519, BLAKE2b-512 inside) signature over
// exactly the body bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kd {

constexpr std::size_t kDigestBytes = 32;
constexpr std::size_t kPublicKeyBytes = 32;
constexpr std::size_t kSeedBytes = 32;
constexpr std::size_t kSecretKeyBytes = 64;  // seed followed by the public key
constexpr std::size_t kSignatureBytes = 64;

std::string hexEncode(const std::uint8_t* bytes, std::size_t count);
// True when text is exactly 2 x count hex digits (either case); out then holds the bytes.
bool hexDecode(std::string_view text, std::uint8_t* out, std::size_t count);

std::string hashBuffer(const void* bytes, std::size_t length);
// Empty when the file cannot be opened or a read fails.
std::string hashFile(const std::string& path);

// Streaming BLAKE2b-256.
class FileHasher {
public:
    FileHasher();
    ~FileHasher();
    FileHasher(const FileHasher&) = delete;
    FileHasher& operator=(const FileHasher&) = delete;

    void add(const void* bytes, std::size_t length);
    // Digest text of everything added; call once, after the last add.
    std::string finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// True when text is validly signed under publicKey; body then holds the signed bytes. On false
// body is untouched.
bool verifySignedText(std::string_view text, const std::uint8_t publicKey[kPublicKeyBytes],
                      std::string& body);

// The release tool's side.
std::string signText(std::string_view text, const std::uint8_t secretKey[kSecretKeyBytes]);
// False when no random seed could be read; the buffers are then untouched.
bool makeKeyPair(std::uint8_t secretKey[kSecretKeyBytes], std::uint8_t publicKey[kPublicKeyBytes]);
// Derives the pair from a given seed (tests and key files); the seed is not wiped.
void keyPairFromSeed(const std::uint8_t seed[kSeedBytes], std::uint8_t secretKey[kSecretKeyBytes],
                     std::uint8_t publicKey[kPublicKeyBytes]);

}  // namespace kd
