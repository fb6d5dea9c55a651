// parseUrl over arbitrary text. Whatever it accepts must come back unchanged when written out
// again, and must make a request with exactly its own six line ends: nothing in a URL may add a
// header line or split the request line.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/http.h"
#include "net/http_internal.h"

namespace {

constexpr long kRequestLineEnds = 6;

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    std::string host, path;
    std::uint16_t port = 0;
    if (!kd::parseUrl(url, host, port, path)) return 0;

    check(url.rfind("http://", 0) == 0);
    check(!host.empty() && port != 0 && !path.empty() && path[0] == '/');
    check(host.find('/') == std::string::npos);

    std::string host2, path2;
    std::uint16_t port2 = 0;
    check(kd::parseUrl("http://" + host + ":" + std::to_string(port) + path, host2, port2, path2));
    check(host2 == host && port2 == port && path2 == path);

    const std::string request = kd::buildRequest(host, port, path, {});
    check(std::count(request.begin(), request.end(), '\n') == kRequestLineEnds);
    check(std::count(request.begin(), request.end(), '\r') == kRequestLineEnds);
    check(request.find('\0') == std::string::npos);
    return 0;
}
