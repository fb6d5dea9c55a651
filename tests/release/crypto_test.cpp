// Hashing and signed texts: the Monocypher 4 vectors line by line, then the edge cases of the
// hex codec, file hashing and the signed-text format.
#include "release/crypto.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "release/eddsa.h"

namespace kd {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;

// BLAKE2b-256 of no bytes.
constexpr char kEmptyDigest[] = "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8";

// ---- vector files ----------------------------------------------------------------------------

// The case lines of a vector file, split at single spaces; '#' lines are its header.
std::vector<std::vector<std::string>> vectorLines(const std::string& name) {
    std::ifstream in(std::string(VEILSTONE_VECTORS_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in) << "cannot open " << name;
    std::vector<std::vector<std::string>> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        std::istringstream words(line);
        for (std::string word; words >> word;) fields.push_back(word);
        lines.push_back(fields);
    }
    return lines;
}

// Decodes a hex field of the vector files; "-" is the empty input.
Bytes fromHex(const std::string& text) {
    if (text == "-") return {};
    Bytes bytes(text.size() / 2);
    EXPECT_TRUE(hexDecode(text, bytes.data(), bytes.size())) << text.substr(0, 40);
    return bytes;
}

template <std::size_t N>
std::array<std::uint8_t, N> fixedFromHex(const std::string& text) {
    std::array<std::uint8_t, N> bytes{};
    EXPECT_TRUE(hexDecode(text, bytes.data(), N)) << text;
    return bytes;
}

std::string asText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Bytes of the repeating pattern the BLAKE2b vectors use: byte i = (i*7 + 3) mod 256.
Bytes patternBytes(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}

// ---- temporary files -------------------------------------------------------------------------

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "crypto_test.XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string file(const std::string& name, const Bytes& content) const {
        std::string path = (path_ / name).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
        EXPECT_TRUE(out.good());
        return path;
    }
    std::string path() const { return path_.string(); }

private:
    fs::path path_;
};

// ---- BLAKE2b-256 vectors ---------------------------------------------------------------------

TEST(Blake2bVectors, EveryLineMatchesHashBufferFileHasherAndHashFile) {
    auto lines = vectorLines("blake2b-256.txt");
    ASSERT_EQ(lines.size(), 18u);
    TempDir dir;
    for (const auto& f : lines) {
        ASSERT_EQ(f.size(), 3u);
        Bytes input = fromHex(f[1]);
        ASSERT_EQ(std::to_string(input.size()), f[0]);
        const std::string& digest = f[2];
        SCOPED_TRACE("input length " + f[0]);

        EXPECT_EQ(hashBuffer(input.data(), input.size()), digest);

        FileHasher hasher;  // uneven pieces, so that piece and block boundaries differ
        for (std::size_t at = 0, piece = 1; at < input.size(); at += piece, piece = piece * 3 + 1) {
            hasher.add(input.data() + at, std::min(piece, input.size() - at));
        }
        EXPECT_EQ(hasher.finish(), digest);

        EXPECT_EQ(hashFile(dir.file("input-" + f[0], input)), digest);
    }
}

// ---- EdDSA vectors ---------------------------------------------------------------------------

TEST(EddsaVectors, KeyPairFromSeedGivesThePublishedKeys) {
    auto lines = vectorLines("eddsa-blake2b.txt");
    ASSERT_EQ(lines.size(), 40u);
    for (const auto& f : lines) {
        ASSERT_EQ(f.size(), 6u);
        SCOPED_TRACE("case " + f[0]);
        auto seed = fixedFromHex<kSeedBytes>(f[1]);
        std::uint8_t secretKey[kSecretKeyBytes];
        std::uint8_t publicKey[kPublicKeyBytes];
        keyPairFromSeed(seed.data(), secretKey, publicKey);
        EXPECT_EQ(hexEncode(publicKey, kPublicKeyBytes), f[2]);
        EXPECT_EQ(hexEncode(secretKey, kSecretKeyBytes), f[1] + f[2]);
        EXPECT_EQ(hexEncode(seed.data(), kSeedBytes), f[1]) << "the seed must not be wiped";
    }
}

TEST(EddsaVectors, SignTextAppendsThePublishedSignature) {
    for (const auto& f : vectorLines("eddsa-blake2b.txt")) {
        SCOPED_TRACE("case " + f[0]);
        auto secretKey = fixedFromHex<kSecretKeyBytes>(f[1] + f[2]);
        Bytes message = fromHex(f[4]);
        ASSERT_EQ(std::to_string(message.size()), f[3]);
        EXPECT_EQ(signText(asText(message), secretKey.data()),
                  asText(message) + "signature " + f[5] + "\n");
    }
}

TEST(EddsaVectors, CheckAcceptsEveryPublishedSignature) {
    for (const auto& f : vectorLines("eddsa-blake2b.txt")) {
        SCOPED_TRACE("case " + f[0]);
        auto publicKey = fixedFromHex<kPublicKeyBytes>(f[2]);
        auto signature = fixedFromHex<kSignatureBytes>(f[5]);
        Bytes message = fromHex(f[4]);
        EXPECT_TRUE(eddsaCheck(signature.data(), publicKey.data(), message.data(), message.size()));
    }
}

TEST(EddsaRejectVectors, CheckGivesMonocyphersResultOnEveryLine) {
    auto lines = vectorLines("eddsa-blake2b-reject.txt");
    ASSERT_EQ(lines.size(), 41u);
    for (const auto& f : lines) {
        ASSERT_EQ(f.size(), 6u);
        SCOPED_TRACE(f[5]);
        auto publicKey = fixedFromHex<kPublicKeyBytes>(f[0]);
        Bytes message = fromHex(f[2]);
        ASSERT_EQ(std::to_string(message.size()), f[1]);
        auto signature = fixedFromHex<kSignatureBytes>(f[3]);
        ASSERT_TRUE(f[4] == "0" || f[4] == "-1");
        bool accepted = f[4] == "0";

        EXPECT_EQ(eddsaCheck(signature.data(), publicKey.data(), message.data(), message.size()),
                  accepted);

        // Where the message can be a signed text's body, the text check agrees.
        if (message.empty() || message.back() == '\n') {
            std::string body = "previous";
            EXPECT_EQ(verifySignedText(asText(message) + "signature " + f[3] + "\n",
                                       publicKey.data(), body),
                      accepted);
            EXPECT_EQ(body, accepted ? asText(message) : "previous");
        }
    }
}

// ---- hex -------------------------------------------------------------------------------------

TEST(Hex, EncodesLowercaseHighDigitFirst) {
    const std::uint8_t bytes[] = {0x00, 0x01, 0x0f, 0x10, 0x7f, 0xab, 0xcd, 0xef, 0xff};
    EXPECT_EQ(hexEncode(bytes, sizeof bytes), "00010f107fabcdefff");
    EXPECT_EQ(hexEncode(bytes, 0), "");
}

TEST(Hex, DecodesEitherCaseAndRoundTripsEveryByte) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    std::string text = hexEncode(all.data(), all.size());
    Bytes back(256);
    ASSERT_TRUE(hexDecode(text, back.data(), back.size()));
    EXPECT_EQ(back, all);

    std::uint8_t mixed[4];
    ASSERT_TRUE(hexDecode("aBcD09Ef", mixed, 4));
    EXPECT_EQ(hexEncode(mixed, 4), "abcd09ef");
    EXPECT_TRUE(hexDecode("", mixed, 0));
}

TEST(Hex, RefusesWrongLengthsAndNonDigits) {
    const std::string digits64(64, 'a');
    std::uint8_t out[33];
    EXPECT_TRUE(hexDecode(digits64, out, 32));
    EXPECT_FALSE(hexDecode(digits64.substr(0, 63), out, 32));
    EXPECT_FALSE(hexDecode(digits64 + "a", out, 32));
    EXPECT_FALSE(hexDecode(digits64, out, 33));
    EXPECT_FALSE(hexDecode(digits64, out, 31));
    for (std::size_t at = 0; at < digits64.size(); ++at) {
        for (char bad : {'g', 'G', ' ', '\0', 'x', '/', ':', '@', '`'}) {
            std::string text = digits64;
            text[at] = bad;
            EXPECT_FALSE(hexDecode(text, out, 32)) << "character " << int(bad) << " at " << at;
        }
    }
}

// ---- file hashing ----------------------------------------------------------------------------

TEST(HashFile, MissingFileGivesEmptyText) {
    TempDir dir;
    EXPECT_EQ(hashFile(dir.path() + "/no-such-file"), "");
}

TEST(HashFile, DirectoryGivesEmptyText) {
    TempDir dir;
    EXPECT_EQ(hashFile(dir.path()), "");
}

TEST(HashFile, EmptyFileGivesDigestOfNoBytes) {
    TempDir dir;
    EXPECT_EQ(hashFile(dir.file("empty", {})), kEmptyDigest);
    EXPECT_EQ(hashBuffer(nullptr, 0), kEmptyDigest);
}

TEST(HashFile, FilesAroundThePieceSizeMatchHashBuffer) {
    TempDir dir;
    for (std::size_t size : {65535u, 65536u, 65537u, 2u * 65536u, 3u * 65536u + 5u}) {
        Bytes content = patternBytes(size);
        content[size / 2] ^= 0x55;  // not just a prefix of the vector stream
        EXPECT_EQ(hashFile(dir.file("f", content)), hashBuffer(content.data(), content.size()))
            << size << " bytes";
    }
}

// ---- FileHasher ------------------------------------------------------------------------------

TEST(FileHasher, AnySplitOfTheInputGivesTheSameDigest) {
    Bytes input = patternBytes(200000);
    std::string whole = hashBuffer(input.data(), input.size());
    for (std::size_t piece : {1u, 63u, 127u, 128u, 129u, 4096u, 65535u, 65536u, 65537u, 200000u}) {
        FileHasher hasher;
        for (std::size_t at = 0; at < input.size(); at += piece) {
            hasher.add(input.data() + at, std::min(piece, input.size() - at));
        }
        EXPECT_EQ(hasher.finish(), whole) << "pieces of " << piece;
    }
}

TEST(FileHasher, ZeroLengthAddsNothing) {
    const char text[] = "abc";
    FileHasher hasher;
    hasher.add(nullptr, 0);
    hasher.add(text, 1);
    hasher.add(text + 1, 0);
    hasher.add(text + 1, 2);
    EXPECT_EQ(hasher.finish(), hashBuffer(text, 3));

    FileHasher nothing;
    EXPECT_EQ(nothing.finish(), kEmptyDigest);
}

// ---- signed texts ----------------------------------------------------------------------------

// A fixed test key, so that failures reproduce.
struct TestKey {
    std::uint8_t secretKey[kSecretKeyBytes];
    std::uint8_t publicKey[kPublicKeyBytes];
    TestKey() {
        std::uint8_t seed[kSeedBytes];
        for (std::size_t i = 0; i < kSeedBytes; ++i) seed[i] = static_cast<std::uint8_t>(0xa0 + i);
        keyPairFromSeed(seed, secretKey, publicKey);
    }
};

const std::string kBody = "version 1.4.2\nfile 0123 12 7 game/veilstone\n";

// Runs verifySignedText on a failing text and checks that the body kept its old value.
void expectRefused(const std::string& text, const std::uint8_t* publicKey) {
    std::string body = "previous body\n";
    EXPECT_FALSE(verifySignedText(text, publicKey, body));
    EXPECT_EQ(body, "previous body\n");
}

TEST(SignedText, SignThenVerifyGivesTheBodyBack) {
    TestKey key;
    std::string binary("a\0b\xff\r\n", 6);
    for (const std::string& text :
         {kBody, std::string("\n"), std::string("one line\n"), binary,
          std::string(100000, 'x') + "\n", std::string("signature 00\n"), std::string("\n\n\n")}) {
        std::string signedText = signText(text, key.secretKey);
        std::string body;
        EXPECT_TRUE(verifySignedText(signedText, key.publicKey, body)) << text.substr(0, 20);
        EXPECT_EQ(body, text);
    }
}

TEST(SignedText, WriterUsesLowercaseHexAndOneFinalLineFeed) {
    TestKey key;
    std::string signedText = signText(kBody, key.secretKey);
    ASSERT_EQ(signedText.size(), kBody.size() + 10 + 128 + 1);
    EXPECT_EQ(signedText.substr(0, kBody.size()), kBody);
    EXPECT_EQ(signedText.substr(kBody.size(), 10), "signature ");
    EXPECT_EQ(signedText.find_first_not_of("0123456789abcdef", kBody.size() + 10),
              signedText.size() - 1);
    EXPECT_EQ(signedText.back(), '\n');
}

TEST(SignedText, RefusedTextsLeaveTheBodyUntouched) {
    TestKey key;
    const std::string good = signText(kBody, key.secretKey);
    const std::string line = good.substr(kBody.size(), 138);  // "signature " + 128 digits
    const std::string digits = line.substr(10);
    std::string changedBody = good;
    changedBody[3] ^= 0x01;
    std::string changedSignature = good;
    changedSignature[kBody.size() + 20] = changedSignature[kBody.size() + 20] == '0' ? '1' : '0';

    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"empty text", ""},
        {"only a line feed", "\n"},
        {"last line not a signature", kBody},
        {"signature line followed by another line", good + "trailer\n"},
        {"two final line feeds", good + "\n"},
        {"127 digits", kBody + "signature " + digits.substr(1) + "\n"},
        {"129 digits", kBody + "signature " + digits + "0\n"},
        {"trailing space", kBody + line + " \n"},
        {"trailing carriage return", kBody + line + "\r\n"},
        {"leading space", kBody + " " + line + "\n"},
        {"two spaces after the word", kBody + "signature  " + digits + "\n"},
        {"word in capitals", kBody + "SIGNATURE " + digits + "\n"},
        {"word only", kBody + "signature \n"},
        {"non-digit in the signature", kBody + "signature " + digits.substr(0, 127) + "g\n"},
        {"one body byte changed", changedBody},
        {"signature changed", changedSignature},
        {"body byte dropped", good.substr(1)},
        {"body line feed dropped", kBody.substr(0, kBody.size() - 1) + line + "\n"},
        {"signature of another body", "other\n" + line + "\n"},
        {"signature line alone with a non-empty body's signature", line + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectRefused(c.text, key.publicKey);
    }
}

TEST(SignedText, WrongKeyIsRefused) {
    TestKey key;
    std::uint8_t otherSeed[kSeedBytes] = {1};
    std::uint8_t otherSecret[kSecretKeyBytes];
    std::uint8_t otherPublic[kPublicKeyBytes];
    keyPairFromSeed(otherSeed, otherSecret, otherPublic);
    expectRefused(signText(kBody, key.secretKey), otherPublic);
    expectRefused(signText(kBody, otherSecret), key.publicKey);
}

TEST(SignedText, MissingFinalLineFeedVerifiesTheSame) {
    TestKey key;
    std::string good = signText(kBody, key.secretKey);
    good.pop_back();
    std::string body;
    ASSERT_TRUE(verifySignedText(good, key.publicKey, body));
    EXPECT_EQ(body, kBody);
}

TEST(SignedText, UppercaseSignatureVerifies) {
    TestKey key;
    std::string text = signText(kBody, key.secretKey);
    for (std::size_t i = kBody.size() + 10; i < text.size(); ++i) {
        text[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
    ASSERT_NE(text, signText(kBody, key.secretKey));
    std::string body;
    ASSERT_TRUE(verifySignedText(text, key.publicKey, body));
    EXPECT_EQ(body, kBody);
}

TEST(SignedText, SignatureLineAloneIsTheEmptyMessage) {
    TestKey key;
    std::string text = signText("", key.secretKey);
    ASSERT_EQ(text.substr(0, 10), "signature ");
    std::string body = "previous";
    ASSERT_TRUE(verifySignedText(text, key.publicKey, body));
    EXPECT_EQ(body, "");
    body = "previous";
    text.pop_back();
    ASSERT_TRUE(verifySignedText(text, key.publicKey, body));
    EXPECT_EQ(body, "");
}

TEST(SignedText, CarriageReturnsAreSignedBytes) {
    TestKey key;
    const std::string crlfBody = "version 2\r\nfile a\r\n";
    std::string body;
    ASSERT_TRUE(verifySignedText(signText(crlfBody, key.secretKey), key.publicKey, body));
    EXPECT_EQ(body, crlfBody);

    // Signed with line feeds only, the same lines with carriage returns do not verify.
    const std::string lfBody = "version 2\nfile a\n";
    std::string lfSigned = signText(lfBody, key.secretKey);
    std::string line = lfSigned.substr(lfBody.size());
    expectRefused(crlfBody + line, key.publicKey);
}

TEST(SignedText, TextWithoutFinalLineFeedCannotBeVerified) {
    TestKey key;
    expectRefused(signText("no line feed", key.secretKey), key.publicKey);
}

// ---- keys ------------------------------------------------------------------------------------

TEST(MakeKeyPair, GivesAFreshPairThatSignsAndVerifies) {
    std::uint8_t secretKey[kSecretKeyBytes];
    std::uint8_t publicKey[kPublicKeyBytes];
    ASSERT_TRUE(makeKeyPair(secretKey, publicKey));
    EXPECT_EQ(hexEncode(secretKey + kSeedBytes, kPublicKeyBytes),
              hexEncode(publicKey, kPublicKeyBytes));

    // The pair is the one its seed derives.
    std::uint8_t derivedSecret[kSecretKeyBytes];
    std::uint8_t derivedPublic[kPublicKeyBytes];
    keyPairFromSeed(secretKey, derivedSecret, derivedPublic);
    EXPECT_EQ(hexEncode(derivedSecret, kSecretKeyBytes), hexEncode(secretKey, kSecretKeyBytes));

    std::string body;
    ASSERT_TRUE(verifySignedText(signText(kBody, secretKey), publicKey, body));
    EXPECT_EQ(body, kBody);

    std::uint8_t secondSecret[kSecretKeyBytes];
    std::uint8_t secondPublic[kPublicKeyBytes];
    ASSERT_TRUE(makeKeyPair(secondSecret, secondPublic));
    EXPECT_NE(hexEncode(secondPublic, kPublicKeyBytes), hexEncode(publicKey, kPublicKeyBytes));
}

TEST(DemoReleaseKey, FileHoldsSeedAndItsPublicKeyInLowercaseHex) {
    std::ifstream in(std::string(VEILSTONE_TEST_DATA_DIR) + "/demo-release-key.secret",
                     std::ios::binary);
    ASSERT_TRUE(in);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(text.size(), 2 * kSecretKeyBytes + 1);
    ASSERT_EQ(text.back(), '\n');
    text.pop_back();
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);

    auto secretKey = fixedFromHex<kSecretKeyBytes>(text);
    std::uint8_t derivedSecret[kSecretKeyBytes];
    std::uint8_t derivedPublic[kPublicKeyBytes];
    keyPairFromSeed(secretKey.data(), derivedSecret, derivedPublic);
    EXPECT_EQ(hexEncode(derivedSecret, kSecretKeyBytes), text);
}

}  // namespace
}  // namespace kd
