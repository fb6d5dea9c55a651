// EdDSA over edwards25519 with BLAKE2b-512 in place of SHA-512, bit for bit the scheme of
// Monocypher 4 (crypto_eddsa_key_pair, crypto_eddsa_sign, crypto_eddsa_check), built from
// libsodium 1.0.18's Ed25519 group and scalar primitives:
//   key pair:  a = clamp(BLAKE2b-512(seed)[0..32]), A = [a]B, secret key = seed || A
//   sign:      r = BLAKE2b-512(BLAKE2b-512(seed)[32..64] || M) mod L, R = [r]B,
//              k = BLAKE2b-512(R || A || M) mod L, S = (r + k a) mod L, signature = R || S
//   check:     refuse when A or R is not a curve point or S >= L; else accept exactly when
//              [8]([S]B - R) == [k]([8]A)  (cofactored; non-canonical and small-order A, R pass)
// libsodium's scalar multiplications refuse a zero scalar and some points that Monocypher
// accepts, so they are only called where those inputs cannot occur; see the helpers below.
#include "release/eddsa.h"

#include <sodium.h>

#include <cstring>
#include <stdexcept>

namespace kd {
namespace {

constexpr std::size_t kPointBytes = 32;
constexpr std::size_t kScalarBytes = 32;
constexpr std::size_t kWideBytes = 64;  // BLAKE2b-512 output, reduced mod L to a scalar

// The neutral element: y = 1, x = 0.
constexpr std::uint8_t kIdentity[kPointBytes] = {1};

void clampScalar(std::uint8_t scalar[kScalarBytes]) {
    scalar[0] &= 248;
    scalar[31] &= 127;
    scalar[31] |= 64;
}

// BLAKE2b-512 of the concatenated parts, reduced mod L. Unused parts have size 0.
void hashReduce(std::uint8_t out[kScalarBytes], const std::uint8_t* a, std::size_t aSize,
                const std::uint8_t* b, std::size_t bSize, const std::uint8_t* c,
                std::size_t cSize) {
    crypto_generichash_state state;
    std::uint8_t wide[kWideBytes];
    crypto_generichash_init(&state, nullptr, 0, kWideBytes);
    crypto_generichash_update(&state, a, aSize);
    crypto_generichash_update(&state, b, bSize);
    crypto_generichash_update(&state, c, cSize);
    crypto_generichash_final(&state, wide, kWideBytes);
    crypto_core_ed25519_scalar_reduce(out, wide);
    sodium_memzero(&state, sizeof state);  // may hold the secret nonce prefix
    sodium_memzero(wide, sizeof wide);
}

// Any 32-byte scalar mod L.
void reduceScalar(std::uint8_t out[kScalarBytes], const std::uint8_t scalar[kScalarBytes]) {
    std::uint8_t wide[kWideBytes] = {};
    std::memcpy(wide, scalar, kScalarBytes);
    crypto_core_ed25519_scalar_reduce(out, wide);
    sodium_memzero(wide, sizeof wide);
}

// S < L, the check that keeps signatures from being malleable.
bool isReducedScalar(const std::uint8_t scalar[kScalarBytes]) {
    std::uint8_t reduced[kScalarBytes];
    reduceScalar(reduced, scalar);
    return std::memcmp(reduced, scalar, kScalarBytes) == 0;
}

// [scalar]B for any 32-byte scalar. libsodium refuses a zero scalar, which Monocypher maps to
// the identity; after reduction a non-zero scalar cannot give the identity.
void scalarBase(std::uint8_t point[kPointBytes], const std::uint8_t scalar[kScalarBytes]) {
    std::uint8_t reduced[kScalarBytes];
    reduceScalar(reduced, scalar);
    if (sodium_is_zero(reduced, kScalarBytes)) {
        std::memcpy(point, kIdentity, kPointBytes);
    } else {
        crypto_scalarmult_ed25519_base_noclamp(point, reduced);
    }
    sodium_memzero(reduced, sizeof reduced);
}

// [8]P by three doublings. False when P does not decode to a curve point; any encoding that
// decodes is accepted, non-canonical and small-order ones included. The result is canonical.
bool timesEight(std::uint8_t out[kPointBytes], const std::uint8_t point[kPointBytes]) {
    std::uint8_t p[kPointBytes];
    std::memcpy(p, point, kPointBytes);
    for (int i = 0; i < 3; ++i) {
        if (crypto_core_ed25519_add(p, p, p) != 0) return false;
    }
    std::memcpy(out, p, kPointBytes);
    return true;
}

// [k]P for a reduced k and a canonical P of the prime-order subgroup (such as [8]A). libsodium
// refuses the identity and a zero scalar; both give the identity here. Any other refusal fails.
bool scalarMulTorsionFree(std::uint8_t out[kPointBytes], const std::uint8_t k[kScalarBytes],
                          const std::uint8_t point[kPointBytes]) {
    if (sodium_is_zero(k, kScalarBytes) || std::memcmp(point, kIdentity, kPointBytes) == 0) {
        std::memcpy(out, kIdentity, kPointBytes);
        return true;
    }
    return crypto_scalarmult_ed25519_noclamp(out, k, point) == 0;
}

}  // namespace

void sodiumReady() {
    // sodium_init only fails when its own mutex does.
    static const bool ready = [] {
        if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
        return true;
    }();
    (void)ready;
}

void eddsaKeyPair(std::uint8_t secretKey[kSecretKeyBytes], std::uint8_t publicKey[kPublicKeyBytes],
                  const std::uint8_t seed[kSeedBytes]) {
    sodiumReady();
    std::uint8_t expanded[kWideBytes];
    std::uint8_t point[kPointBytes];
    crypto_generichash(expanded, kWideBytes, seed, kSeedBytes, nullptr, 0);
    clampScalar(expanded);
    scalarBase(point, expanded);
    std::memcpy(secretKey, seed, kSeedBytes);
    std::memcpy(secretKey + kSeedBytes, point, kPointBytes);
    std::memcpy(publicKey, point, kPointBytes);
    sodium_memzero(expanded, sizeof expanded);
}

void eddsaSign(std::uint8_t signature[kSignatureBytes],
               const std::uint8_t secretKey[kSecretKeyBytes], const std::uint8_t* message,
               std::size_t messageSize) {
    sodiumReady();
    const std::uint8_t* publicKey = secretKey + kSeedBytes;
    std::uint8_t expanded[kWideBytes];  // secret scalar a, then the nonce prefix
    std::uint8_t a[kScalarBytes];       // a mod L
    std::uint8_t r[kScalarBytes];
    std::uint8_t ka[kScalarBytes];
    std::uint8_t k[kScalarBytes];
    std::uint8_t R[kPointBytes];
    std::uint8_t S[kScalarBytes];

    crypto_generichash(expanded, kWideBytes, secretKey, kSeedBytes, nullptr, 0);
    clampScalar(expanded);
    reduceScalar(a, expanded);
    hashReduce(r, expanded + kScalarBytes, kWideBytes - kScalarBytes, message, messageSize, nullptr,
               0);
    scalarBase(R, r);
    hashReduce(k, R, kPointBytes, publicKey, kPointBytes, message, messageSize);
    crypto_core_ed25519_scalar_mul(ka, k, a);
    crypto_core_ed25519_scalar_add(S, ka, r);
    std::memcpy(signature, R, kPointBytes);
    std::memcpy(signature + kPointBytes, S, kScalarBytes);

    sodium_memzero(expanded, sizeof expanded);
    sodium_memzero(a, sizeof a);
    sodium_memzero(r, sizeof r);
    sodium_memzero(ka, sizeof ka);
}

bool eddsaCheck(const std::uint8_t signature[kSignatureBytes],
                const std::uint8_t publicKey[kPublicKeyBytes], const std::uint8_t* message,
                std::size_t messageSize) {
    sodiumReady();
    const std::uint8_t* R = signature;
    const std::uint8_t* S = signature + kPointBytes;
    if (!isReducedScalar(S)) return false;

    std::uint8_t k[kScalarBytes];
    hashReduce(k, R, kPointBytes, publicKey, kPointBytes, message, messageSize);

    std::uint8_t eightA[kPointBytes];
    std::uint8_t kEightA[kPointBytes];
    if (!timesEight(eightA, publicKey)) return false;  // A is no curve point
    if (!scalarMulTorsionFree(kEightA, k, eightA)) return false;

    std::uint8_t sB[kPointBytes];
    std::uint8_t x[kPointBytes];
    std::uint8_t eightX[kPointBytes];
    scalarBase(sB, S);
    if (crypto_core_ed25519_sub(x, sB, R) != 0) return false;  // R is no curve point
    if (!timesEight(eightX, x)) return false;

    // Both sides are canonical encodings, so equal points have equal bytes.
    return std::memcmp(eightX, kEightA, kPointBytes) == 0;
}

}  // namespace kd
