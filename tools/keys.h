// Release key files: the secret key as 128 hex digits (the seed, then the public key) and a line
// feed, readable by its owner only. Every copy of secret bytes is wiped when it is done with.
#pragma once

#include <cstdint>
#include <string>

#include "release/crypto.h"

namespace kd::tool {

struct SecretKey {
    std::uint8_t bytes[kSecretKeyBytes];
    SecretKey() = default;
    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;
    ~SecretKey();
    const std::uint8_t* publicKey() const { return bytes + kSeedBytes; }
};

// Reads and checks a secret key file: its stored public half must match the seed.
bool readSecretKey(const std::string& path, SecretKey& key, std::string& error);
// Creates the file (mode 0600, never over an existing one) and writes the key into it.
bool writeSecretKey(const std::string& path, const SecretKey& key, std::string& error);
// 64 hex digits of either case.
bool readPublicKey(const std::string& hex, std::uint8_t key[kPublicKeyBytes]);

}  // namespace kd::tool
