// Arbitrary bytes through the window icon reader: no crash, and every image it returns is whole
// (a size the directory can express, and exactly width x height RGBA pixels).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "gfx/icon.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Most inputs are not icons and each one logs a warning on standard output; libFuzzer reports
    // on standard error, which stays.
    int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<kd::IconImage> images = kd::decodeIconFile(data, size, "fuzz.ico");
    for (const kd::IconImage& image : images) {
        if (image.width < 1 || image.width > 256 || image.height < 1 || image.height > 256) abort();
        if (image.pixels.size() != std::size_t(image.width) * std::size_t(image.height) * 4)
            abort();
    }
    return 0;
}
