// Hashing and signatures against the reference vectors line by line, then every form of a signed
// text. Keys as a publisher makes and uses them are tested with the release tool.
#include "release/crypto.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "release/eddsa.h"
#include "tests/support/temp_dir.h"

namespace kd {
namespace {

// The case lines of a vector file, split at spaces; '#' lines are its header.
std::vector<std::vector<std::string>> vectorLines(const std::string& name, std::size_t fields) {
    std::ifstream in(std::string(VEILSTONE_VECTORS_DIR) + "/" + name, std::ios::binary);
    std::vector<std::vector<std::string>> lines;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        lines.emplace_back();
        for (std::string word; words >> word;) lines.back().push_back(word);
        EXPECT_EQ(lines.back().size(), fields) << line.substr(0, 40);
        lines.back().resize(fields);
    }
    return lines;
}

// Bytes from hex, as a string ("-" is the empty input); count checks the length when given.
std::string bytes(const std::string& hex, std::size_t count = 0) {
    if (hex == "-") return {};
    std::string out(hex.size() / 2, '\0');
    EXPECT_TRUE(hexDecode(hex, reinterpret_cast<std::uint8_t*>(out.data()), out.size())) << hex;
    out.resize(std::max(out.size(), count));
    return out;
}
using U8 = const std::uint8_t*;
U8 u8(const std::string& s) { return reinterpret_cast<U8>(s.data()); }

TEST(Blake2bVectors, EveryLineMatchesHashBufferFileHasherAndHashFile) {
    auto lines = vectorLines("blake2b-256.txt", 3);
    ASSERT_EQ(lines.size(), 18u);
    test::TempDir dir;
    for (const auto& f : lines) {
        const std::string input = bytes(f[1]);
        SCOPED_TRACE("input length " + f[0]);
        ASSERT_EQ(std::to_string(input.size()), f[0]);
        EXPECT_EQ(hashBuffer(input.data(), input.size()), f[2]);
        for (std::size_t piece : {1u, 63u, 128u, 129u, 65536u}) {
            FileHasher hasher;  // pieces that cross block boundaries, and adds of nothing
            for (std::size_t at = 0; at < input.size(); at += piece) {
                hasher.add(input.data() + at, std::min(piece, input.size() - at));
                hasher.add(nullptr, 0);
            }
            EXPECT_EQ(hasher.finish(), f[2]) << "pieces of " << piece;
        }
        test::writeText(dir / "in", input);
        EXPECT_EQ(hashFile(dir / "in"), f[2]);
    }
    EXPECT_EQ(hashFile(dir / "no-such-file"), "");
    EXPECT_EQ(hashFile(dir.path()), "");
}

// What a signer who subtracts the key's part makes: S = r - k a, that is the valid S - 2 k a. The
// check's final points then differ only in the sign bit of x, in their last byte.
std::string keyPartSubtracted(const std::string& seed, const std::string& publicKey,
                              const std::string& message, std::string signature) {
    std::uint8_t wide[64], a[32], k[32], ka[32];
    crypto_generichash(wide, 64, u8(seed), kSeedBytes, nullptr, 0);
    wide[0] &= 248, wide[31] = (wide[31] & 127) | 64;
    std::memset(wide + 32, 0, 32);
    crypto_core_ed25519_scalar_reduce(a, wide);
    const std::string hashed = signature.substr(0, 32) + publicKey + message;
    crypto_generichash(wide, 64, u8(hashed), hashed.size(), nullptr, 0);
    crypto_core_ed25519_scalar_reduce(k, wide);
    crypto_core_ed25519_scalar_mul(ka, k, a);
    crypto_core_ed25519_scalar_add(ka, ka, ka);
    auto* s = reinterpret_cast<std::uint8_t*>(signature.data()) + 32;
    crypto_core_ed25519_scalar_sub(s, s, ka);
    return signature;
}

TEST(EddsaVectors, KeyPairSignatureAndCheckMatchEveryLine) {
    auto lines = vectorLines("eddsa-blake2b.txt", 6);
    ASSERT_EQ(lines.size(), 40u);
    for (const auto& f : lines) {
        SCOPED_TRACE("case " + f[0]);
        const std::string seed = bytes(f[1], kSeedBytes), message = bytes(f[4]);
        std::uint8_t secretKey[kSecretKeyBytes], publicKey[kPublicKeyBytes];
        keyPairFromSeed(u8(seed), secretKey, publicKey);
        EXPECT_EQ(hexEncode(publicKey, kPublicKeyBytes), f[2]);
        EXPECT_EQ(hexEncode(secretKey, kSecretKeyBytes), f[1] + f[2]);
        EXPECT_EQ(hexEncode(u8(seed), kSeedBytes), f[1]) << "the seed must not be wiped";
        ASSERT_EQ(std::to_string(message.size()), f[3]);
        EXPECT_EQ(signText(message, secretKey), message + "signature " + f[5] + "\n");
        const std::string signature = bytes(f[5], kSignatureBytes);
        EXPECT_TRUE(eddsaCheck(u8(signature), publicKey, u8(message), message.size()));
        const std::string subtracted = keyPartSubtracted(seed, bytes(f[2]), message, signature);
        EXPECT_FALSE(eddsaCheck(u8(subtracted), publicKey, u8(message), message.size()));
    }
}

TEST(EddsaRejectVectors, CheckGivesTheReferenceResultOnEveryLine) {
    auto lines = vectorLines("eddsa-blake2b-reject.txt", 6);
    ASSERT_EQ(lines.size(), 41u);
    for (const auto& f : lines) {
        SCOPED_TRACE(f[5]);
        const std::string key = bytes(f[0], kPublicKeyBytes), message = bytes(f[2]);
        const std::string signature = bytes(f[3], kSignatureBytes);
        ASSERT_EQ(std::to_string(message.size()), f[1]);
        ASSERT_TRUE(f[4] == "0" || f[4] == "-1");
        const bool accepted = f[4] == "0";
        EXPECT_EQ(eddsaCheck(u8(signature), u8(key), u8(message), message.size()), accepted);
        // Where the message can be a signed text's body, the text check agrees.
        if (message.empty() || message.back() == '\n') {
            std::string body = "previous";
            const std::string text = message + "signature " + f[3] + "\n";
            EXPECT_EQ(verifySignedText(text, u8(key), body), accepted);
            EXPECT_EQ(body, accepted ? message : "previous");
        }
    }
}

// Every form a signed text can take: the body it yields, or nullptr when it must be refused
// with the caller's body left as it was.
TEST(SignedText, AcceptedAndRefusedForms) {
    std::uint8_t seed[kSeedBytes] = {0xa0}, secretKey[kSecretKeyBytes], publicKey[kPublicKeyBytes];
    keyPairFromSeed(seed, secretKey, publicKey);
    const std::string body = "version 1.4.2\nfile 0123 12 7 game/veilstone\n";
    auto sign = [&](const std::string& text) { return signText(text, secretKey); };
    const std::string good = sign(body), line = good.substr(body.size(), 138),
                      digits = line.substr(10);
    std::string upper = digits, changedBody = good, changedSignature = good;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    changedBody[3] ^= 0x01;
    changedSignature[body.size() + 20] = changedSignature[body.size() + 20] == '0' ? '1' : '0';
    const struct {
        const char* name;
        std::string text;
        const char* body;
    } cases[] = {
        {"manifest", good, body.c_str()},
        {"one line feed", sign("\n"), "\n"},
        {"body that looks like a signature", sign("signature 00\n"), "signature 00\n"},
        {"no final line feed", body + line, body.c_str()},
        {"upper-case signature", body + "signature " + upper + "\n", body.c_str()},
        {"signature line alone", sign(""), ""},
        {"signature line alone, no line feed", sign("").substr(0, 138), ""},
        {"carriage returns signed", sign("a\r\nb\r\n"), "a\r\nb\r\n"},
        {"empty text", "", nullptr},
        {"only a line feed", "\n", nullptr},
        {"last line not a signature", body, nullptr},
        {"signature line followed by another line", good + "trailer\n", nullptr},
        {"two final line feeds", good + "\n", nullptr},
        {"127 digits", body + "signature " + digits.substr(1) + "\n", nullptr},
        {"129 digits", body + "signature " + digits + "0\n", nullptr},
        {"trailing space", body + line + " \n", nullptr},
        {"trailing carriage return", body + line + "\r\n", nullptr},
        {"leading space", body + " " + line + "\n", nullptr},
        {"two spaces after the word", body + "signature  " + digits + "\n", nullptr},
        {"word in capitals", body + "SIGNATURE " + digits + "\n", nullptr},
        {"word only", body + "signature \n", nullptr},
        {"non-digit in the signature", body + "signature " + digits.substr(0, 127) + "g\n",
         nullptr},
        {"one body byte changed", changedBody, nullptr},
        {"signature changed", changedSignature, nullptr},
        {"body line feed dropped", body.substr(0, body.size() - 1) + line + "\n", nullptr},
        {"signature of another body", "other\n" + line + "\n", nullptr},
        {"carriage returns added after signing", "a\r\nb\r\n" + sign("a\nb\n").substr(4), nullptr},
        {"signed without a final line feed", sign("no line feed"), nullptr},
    };
    for (const auto& c : cases) {
        std::string out = "previous";
        EXPECT_EQ(verifySignedText(c.text, publicKey, out), c.body != nullptr) << c.name;
        EXPECT_EQ(out, c.body ? c.body : "previous") << c.name;
    }
    // Signature and key digits are read strictly: the characters next to each range are none.
    std::uint8_t byte = 0;
    for (const char* bad : {"/0", "0:", "@0", "0G", "`0", "0g"})
        EXPECT_FALSE(hexDecode(bad, &byte, 1)) << bad;
}

}  // namespace
}  // namespace kd
