// Arbitrary bytes through the manifest reader; whatever it accepts must survive a write and
// read back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "release/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    kd::Manifest manifest;
    std::string error;
    if (!kd::parseManifest(text, manifest, error)) {
        if (error.empty()) abort();
        return 0;
    }
    for (const kd::Entry& entry : manifest.files)
        if (!kd::isSafePath(entry.path)) abort();
    // Round trip holds when nothing begins with white space (the reader skips it).
    for (const kd::Entry& entry : manifest.files)
        if (entry.path[0] == ' ') return 0;
    kd::Manifest back;
    if (!kd::parseManifest(kd::writeManifest(manifest), back, error) || !(back == manifest)) abort();
    return 0;
}
