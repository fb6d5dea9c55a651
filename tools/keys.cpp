#include "tools/keys.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/base.h"
#include "tools/text.h"

namespace kd::tool {

namespace {

constexpr std::size_t kSecretHexDigits = 2 * kSecretKeyBytes;
// A key file is one line; anything larger is not one, and need not be read to say so.
constexpr std::size_t kMaxKeyFileBytes = 4096;

// The key file's bytes, in a buffer of fixed size that is wiped when it is done with.
struct KeyText {
    char bytes[kMaxKeyFileBytes];
    std::size_t length = 0;
    ~KeyText() { sodium_memzero(bytes, sizeof bytes); }
};

bool readKeyText(const std::string& path, KeyText& text) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return false;
    while (text.length < sizeof text.bytes) {
        const long got =
            readSome(file.get(), text.bytes + text.length, sizeof text.bytes - text.length);
        if (got < 0) return false;
        if (got == 0) break;
        text.length += std::size_t(got);
    }
    return true;
}

}  // namespace

SecretKey::~SecretKey() { sodium_memzero(bytes, sizeof bytes); }

bool readSecretKey(const std::string& path, SecretKey& key, std::string& error) {
    KeyText text;
    if (!readKeyText(path, text)) {
        error = "cannot read the secret key file " + quoteName(path);
        return false;
    }
    while (text.length > 0 &&
           (text.bytes[text.length - 1] == '\n' || text.bytes[text.length - 1] == '\r' ||
            text.bytes[text.length - 1] == ' '))
        --text.length;
    const std::string_view digits(text.bytes, text.length);
    if (digits.size() != kSecretHexDigits || !hexDecode(digits, key.bytes, kSecretKeyBytes)) {
        error = quoteName(path) + " is not a secret key file";
        return false;
    }
    // The public half is stored too; a mismatch means the file was edited or damaged.
    SecretKey derived;
    std::uint8_t publicKey[kPublicKeyBytes];
    keyPairFromSeed(key.bytes, derived.bytes, publicKey);
    if (std::memcmp(derived.bytes, key.bytes, kSecretKeyBytes) != 0) {
        error = "the secret key file " + quoteName(path) + " is damaged";
        return false;
    }
    return true;
}

bool writeSecretKey(const std::string& path, const SecretKey& key, std::string& error) {
    // O_EXCL: a release key is never overwritten by accident.
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file) {
        error = errno == EEXIST ? quoteName(path) + " already exists"
                                : "cannot create " + quoteName(path);
        return false;
    }
    std::string digits = hexEncode(key.bytes, kSecretKeyBytes);
    bool ok = writeAll(file.get(), digits.data(), digits.size()) && writeAll(file.get(), "\n", 1) &&
              ::fsync(file.get()) == 0;
    sodium_memzero(digits.data(), digits.size());
    ok = file.close() && ok;
    if (!ok) {
        ::unlink(path.c_str());
        error = "cannot write " + quoteName(path);
    }
    return ok;
}

bool readPublicKey(const std::string& hex, std::uint8_t key[kPublicKeyBytes]) {
    return hexDecode(hex, key, kPublicKeyBytes);
}

}  // namespace kd::tool
