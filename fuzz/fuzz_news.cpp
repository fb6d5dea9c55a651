// Arbitrary news markup through the layout, at a width taken from the first byte: no crash, a
// finite height holding every line, lines in order of y (drawing only the lines in view searches
// them by y), and a layout kept for another width and laid out again equal to a fresh one.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/ui.h"

namespace {

bool same(const kd::NewsLayout& a, const kd::NewsLayout& b) {
    if (a.height != b.height || a.lines.size() != b.lines.size()) return false;
    for (std::size_t i = 0; i < a.lines.size(); ++i)
        if (a.lines[i].y != b.lines[i].y || a.lines[i].x != b.lines[i].x ||
            a.lines[i].scale != b.lines[i].scale || a.lines[i].text != b.lines[i].text)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const float width = 8.0f + 4.0f * data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    kd::NewsLayout fresh;
    kd::layoutNews(fresh, text, width);
    if (!std::isfinite(fresh.height) || fresh.height < 0) abort();
    for (std::size_t i = 0; i < fresh.lines.size(); ++i) {
        const kd::NewsLine& line = fresh.lines[i];
        if (!(line.y >= 0 && line.y <= fresh.height)) abort();
        if (i > 0 && line.y < fresh.lines[i - 1].y) abort();
    }
    kd::NewsLayout reused;
    kd::layoutNews(reused, text, width / 2 + 1);
    kd::layoutNews(reused, text, width);
    if (!same(fresh, reused)) abort();
    kd::DrawList r;
    if (kd::drawNews(r, text, 0, 0, width) != fresh.height) abort();
    return 0;
}
