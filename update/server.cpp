#include "update/server.h"

#include <cstdint>
#include <vector>

#include "net/http.h"
#include "release/crypto.h"

namespace kd::launcher {

namespace {

constexpr const char* kTestingFolder = "testing/";
constexpr const char* kKeyHeader = "X-Veilstone-Key: ";
constexpr int kStatusForbidden = 403;

}  // namespace

std::string manifestName() { return std::string("manifest-") + platformName() + ".txt"; }

bool fetchSigned(const JobPlace& place, Channel channel, const std::string& testerKey,
                 const std::string& name, SignedFetch& out, std::string& error) {
    const bool testing = channel == Channel::Testing;
    std::vector<std::string> headers;
    if (testing) headers.push_back(kKeyHeader + testerKey);
    const std::string url = joinUrl(place.serverUrl, (testing ? kTestingFolder : "") + name);

    std::vector<std::uint8_t> bytes;
    int status = 0;
    const bool got =
        httpGet(url, bytes, kMaxSignedTextBytes, {}, place.cancel, error, headers, &status);
    out.key = KeyState::None;
    if (testing && (got || status == kStatusForbidden))
        out.key = got ? KeyState::Accepted : KeyState::Refused;
    if (!got) {
        if (out.key == KeyState::Refused) error = "playtester key not accepted";
        return false;
    }
    out.text.assign(bytes.begin(), bytes.end());
    bytes = {};
    if (!verifySignedText(out.text, place.releaseKey.data(), out.body)) {
        error = name + " is not signed by the Veilstone release key";
        return false;
    }
    return true;
}

}  // namespace kd::launcher
