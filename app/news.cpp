// The news panel: the verified news of the channel in a tiny line-based markup, scrolled with the
// mouse wheel with eased motion and a scrollbar.
#include <algorithm>

#include "app/ui.h"
#include "gfx/text.h"
#include "update/updater.h"

namespace kd {

using launcher::UpdaterState;
using launcher::UpdaterStatus;
namespace pal = palette;

namespace {

constexpr float kGap = 11;
constexpr float kHeadingLine = 33;
constexpr float kHeadingAfter = 4;
constexpr float kEmphasisLine = 30;
constexpr float kBodyLine = 22;
constexpr float kBodyAfter = 2;
constexpr float kBulletIndent = 16;
constexpr float kWheelStep = 48;
constexpr float kMinThumb = 30;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string stripBoldMarkers(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '*' && i + 1 < text.size() && text[i + 1] == '*') {
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

void addBody(NewsLayout& layout, std::string_view line, float& y, float width, float indent,
             bool bullet) {
    std::vector<std::string> lines = wrapText(stripBoldMarkers(line), 2, width - indent);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        layout.lines.push_back({y, indent, 2, pal::Text, std::move(lines[i])});
        // After its line's text, not before: drawing searches the lines by y.
        if (i == 0 && bullet) layout.lines.push_back({y + 6, 3, 0, pal::GoldDim, {}});
        y += kBodyLine;
    }
    y += kBodyAfter;
}

// The tallest drawn line (a heading at scale 3), so lines just above the view are not missed.
constexpr float kTallestLine = 8 * 3;

}  // namespace

void layoutNews(NewsLayout& layout, std::string_view text, float width) {
    if (layout.width == width && layout.text == text) return;
    layout.text.assign(text);
    layout.width = width;
    layout.lines.clear();
    float y = 0;
    while (true) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.empty()) {
            y += kGap;
        } else if (startsWith(line, "# ")) {
            for (std::string& wrapped : wrapText(line.substr(2), 3, width)) {
                layout.lines.push_back({y, 0, 3, pal::Gold, std::move(wrapped)});
                y += kHeadingLine;
            }
            y += kHeadingAfter;
        } else if (line.size() > 4 && startsWith(line, "**") &&
                   line.substr(line.size() - 2) == "**") {
            layout.lines.push_back(
                {y + 6, 0, 2, pal::Accent, std::string(line.substr(2, line.size() - 4))});
            y += kEmphasisLine;
        } else if (startsWith(line, "- ")) {
            addBody(layout, line.substr(2), y, width, kBulletIndent, true);
        } else {
            addBody(layout, line, y, width, 0, false);
        }
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    layout.height = y;
}

void drawNewsLines(DrawList& draw, const NewsLayout& layout, float x, float y, float fromY,
                   float toY) {
    auto first =
        std::lower_bound(layout.lines.begin(), layout.lines.end(), fromY - y - kTallestLine,
                         [](const NewsLine& line, float top) { return line.y < top; });
    for (auto line = first; line != layout.lines.end() && y + line->y < toY; ++line) {
        if (line->scale == 0)
            draw.fillRect(x + line->x, y + line->y, 5, 5, line->color);
        else
            draw.text(line->text, x + line->x, y + line->y, line->scale, line->color);
    }
}

float drawNews(DrawList& draw, std::string_view text, float x, float y, float width) {
    NewsLayout layout;
    layoutNews(layout, text, width);
    drawNewsLines(draw, layout, x, y, y, y + layout.height + kTallestLine);
    return layout.height;
}

void drawNewsPanel(LauncherUi& ui, DrawList& draw, const UpdaterStatus& s, const FrameInput& input,
                   const ScreenLayout& layout, float dt) {
    const Rect& panel = layout.newsPanel;
    draw.chamferRect(panel.x, panel.y, panel.w, panel.h, 10, pal::Panel, fade(pal::Bronze, 0.9f));
    draw.text("WHAT'S NEW", panel.x + 22, panel.y + 18, 2, pal::TextDim);
    draw.fillRect(panel.x + 22, panel.y + 40, panel.w - 44, 1, fade(pal::Bronze, 0.8f));

    const Rect& view = layout.newsView;
    const float top = view.y, vh = view.h;
    if (panel.contains(input.menu.x, input.menu.y)) ui.scrollTarget -= input.wheel * kWheelStep;

    draw.beginClip(view.x, view.y, view.w, view.h);
    float contentHeight = 0;
    if (s.news.empty()) {
        bool checking = s.state == UpdaterState::Checking;
        draw.text(checking ? "..." : "No news to show.", view.x, top + 4, 2, pal::TextDisabled);
    } else {
        // 12 narrower than the view, to leave room for the scrollbar.
        layoutNews(ui.news, s.news, view.w - 12);
        drawNewsLines(draw, ui.news, view.x, top - ui.scrollPos, top, top + vh);
        contentHeight = ui.news.height;
    }
    draw.endClip();

    // Eased toward the target after drawing, so a wheel turn shows from the next frame.
    const float maxScroll = contentHeight - vh;
    const float k = std::min(14 * dt, 1.0f);
    if (maxScroll > 0) {
        ui.scrollTarget = std::clamp(ui.scrollTarget, 0.0f, maxScroll);
        ui.scrollPos += (ui.scrollTarget - ui.scrollPos) * k;
        float thumbH = std::max(vh * vh / contentHeight, kMinThumb);
        float thumbY = top + (vh - thumbH) * ui.scrollPos / maxScroll;
        const float right = view.x + view.w;
        draw.fillRect(right - 4, top, 2, vh, fade(pal::Line, 0.3f));
        draw.fillRect(right - 5, thumbY, 4, thumbH, pal::GoldDim);
    } else {
        ui.scrollTarget = 0;
        ui.scrollPos += (0 - ui.scrollPos) * k;
    }
}

}  // namespace kd
