#include "update/server.h"

#include <cstdint>
#include <vector>

#include "log/log.h"
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
    const std::string path = (testing ? kTestingFolder : "") + name;

    // The first server that answers decides; one that does not is passed over for the next.
    Servers& servers = *place.servers;
    std::vector<std::uint8_t> bytes;
    int status = 0;
    bool got = false;
    for (std::size_t tried = 0, at = servers.first(); tried < servers.count(); ++tried, ++at) {
        got = httpGet(joinUrl(servers.url(at), path), bytes, kMaxSignedTextBytes, {}, place.cancel,
                      error, headers, &status);
        if (got || !serverDidNotAnswer(status) || (place.cancel && place.cancel->load())) {
            if (got && at % servers.count() != 0)
                launcherLog.info("%s came from %s", path.c_str(), servers.url(at).c_str());
            break;
        }
        if (servers.count() > 1) {
            launcherLog.warn("%s from %s: %s", path.c_str(), servers.url(at).c_str(),
                             error.c_str());
            servers.failed(at);
        }
    }
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
