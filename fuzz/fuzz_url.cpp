// parseUrl and resolveLocation over arbitrary text. Whatever parseUrl accepts must come back
// unchanged when written out again, and must make a request with exactly its own six line ends:
// nothing in a URL may add a header line or split the request line. The same text as a redirect's
// Location from an https server must give a URL that holds to the same rules.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/http.h"
#include "net/http_internal.h"

namespace {

// https asks to keep the connection, so it has no "Connection: close" line.
constexpr long kRequestLineEnds = 6, kSecureRequestLineEnds = 5;

void check(bool condition) {
    if (!condition) std::abort();
}

void checkUrl(const kd::Url& url) {
    check(!url.host.empty() && url.port != 0 && !url.path.empty() && url.path[0] == '/');
    check(url.host.find('/') == std::string::npos);

    kd::Url again;
    check(kd::parseUrl(kd::formatUrl(url), again));
    check(again.secure == url.secure && again.host == url.host && again.port == url.port &&
          again.path == url.path);

    const std::string request = kd::buildRequest(url, {});
    const long lineEnds = url.secure ? kSecureRequestLineEnds : kRequestLineEnds;
    check(std::count(request.begin(), request.end(), '\n') == lineEnds);
    check(std::count(request.begin(), request.end(), '\r') == lineEnds);
    check(request.find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    kd::Url url;
    if (kd::parseUrl(text, url)) {
        check(text.rfind(url.secure ? "https://" : "http://", 0) == 0);
        checkUrl(url);
    }
    kd::Url base, next;
    check(kd::parseUrl("https://cdn.example:8443/a/b?c=d", base));
    if (kd::resolveLocation(base, text, next)) checkUrl(next);
    return 0;
}
