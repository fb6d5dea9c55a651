// Internal to the release module: EdDSA over edwards25519 with BLAKE2b-512 as the internal hash,
// bit-identical to Monocypher 4's crypto_eddsa_key_pair, crypto_eddsa_sign and crypto_eddsa_check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "release/crypto.h"

namespace kd {

// Makes libsodium ready; safe to call from any thread, any number of times.
void sodiumReady();

// secretKey = seed || publicKey (Monocypher's layout). The seed is not wiped.
void eddsaKeyPair(std::uint8_t secretKey[kSecretKeyBytes], std::uint8_t publicKey[kPublicKeyBytes],
                  const std::uint8_t seed[kSeedBytes]);
// Deterministic: the same key and message always give the same signature.
void eddsaSign(std::uint8_t signature[kSignatureBytes],
               const std::uint8_t secretKey[kSecretKeyBytes], const std::uint8_t* message,
               std::size_t messageSize);
// True when signature is valid for message under publicKey (Monocypher's cofactored check).
bool eddsaCheck(const std::uint8_t signature[kSignatureBytes],
                const std::uint8_t publicKey[kPublicKeyBytes], const std::uint8_t* message,
                std::size_t messageSize);

}  // namespace kd
