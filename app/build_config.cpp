// The values a publisher compiles into the launcher.
#include <cstddef>
#include <string_view>

#include "app/options.h"

namespace kd {

namespace {

// The server URL stands in the executable behind a marker that ends at its first '=', so that
// the release tool can read which server a launcher file talks to before it publishes it.
constexpr char kServerUrlRecord[] = "veilstone-server-url=" VEILSTONE_SERVER_URL_TEXT;
constexpr std::size_t kServerUrlMarkerBytes = std::string_view(kServerUrlRecord).find('=') + 1;

}  // namespace

const char* defaultServerUrl() { return kServerUrlRecord + kServerUrlMarkerBytes; }
std::vector<std::string> defaultMirrorUrls() {
    // Separated by spaces, which no URL holds.
    std::vector<std::string> urls;
    std::string_view rest = VEILSTONE_MIRROR_URLS_TEXT;
    while (!rest.empty()) {
        const std::size_t space = rest.find(' ');
        if (space != 0) urls.emplace_back(rest.substr(0, space));
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    }
    return urls;
}
const char* releaseKeyText() { return VEILSTONE_RELEASE_KEY_TEXT; }
bool trustsDemoKey() { return VEILSTONE_TRUSTS_DEMO_KEY != 0; }

}  // namespace kd
