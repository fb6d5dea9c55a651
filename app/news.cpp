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

float drawBody(Renderer& r, std::string_view line, float x, float y, float width, float indent,
               bool bullet) {
    std::vector<std::string> lines = wrapText(stripBoldMarkers(line), 2, width - indent);
    float start = y;
    if (!lines.empty() && bullet) r.fillRect(x + 3, y + 6, 5, 5, pal::GoldDim);
    for (const std::string& wrapped : lines) {
        r.text(wrapped, x + indent, y, 2, pal::Text);
        y += kBodyLine;
    }
    return y - start + kBodyAfter;
}

}  // namespace

float drawNews(Renderer& r, std::string_view text, float x, float y, float width) {
    const float start = y;
    while (true) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.empty()) {
            y += kGap;
        } else if (startsWith(line, "# ")) {
            for (const std::string& wrapped : wrapText(line.substr(2), 3, width)) {
                r.text(wrapped, x, y, 3, pal::Gold);
                y += kHeadingLine;
            }
            y += kHeadingAfter;
        } else if (line.size() > 4 && startsWith(line, "**") &&
                   line.substr(line.size() - 2) == "**") {
            r.text(line.substr(2, line.size() - 4), x, y + 6, 2, pal::Accent);
            y += kEmphasisLine;
        } else if (startsWith(line, "- ")) {
            y += drawBody(r, line.substr(2), x, y, width, kBulletIndent, true);
        } else {
            y += drawBody(r, line, x, y, width, 0, false);
        }
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return y - start;
}

void drawNewsPanel(LauncherUi& ui, Renderer& r, const UpdaterStatus& s, const FrameInput& input,
                   float w, float h, float dt) {
    const float panelX = std::max(0.46f * w, titleWidth(w) + 96);
    const float panelY = 48;
    const float panelW = w - panelX - 40;
    const float panelH = h - 198;
    r.chamferRect(panelX, panelY, panelW, panelH, 10, pal::Panel, fade(pal::Bronze, 0.9f));
    r.text("WHAT'S NEW", panelX + 22, 66, 2, pal::TextDim);
    r.fillRect(panelX + 22, 88, panelW - 44, 1, fade(pal::Bronze, 0.8f));

    const float left = panelX + 22, top = 100, vh = panelH - 66;
    const UiInput& menu = input.menu;
    if (panelX <= menu.x && menu.x < panelX + panelW && panelY <= menu.y &&
        menu.y < panelY + panelH)
        ui.scrollTarget -= input.wheel * kWheelStep;

    r.beginClip(left, top, panelW - 44, vh);
    float contentHeight = 0;
    if (s.news.empty()) {
        bool checking = s.state == static_cast<std::uint32_t>(UpdaterState::Checking);
        r.text(checking ? "..." : "No news to show.", left, 104, 2, pal::TextDisabled);
    } else {
        contentHeight = drawNews(r, s.news, left, top - ui.scrollPos, panelW - 56);
    }
    r.endClip();

    // Eased toward the target after drawing, so a wheel turn shows from the next frame.
    const float maxScroll = contentHeight - vh;
    const float k = std::min(14 * dt, 1.0f);
    if (maxScroll > 0) {
        ui.scrollTarget = std::clamp(ui.scrollTarget, 0.0f, maxScroll);
        ui.scrollPos += (ui.scrollTarget - ui.scrollPos) * k;
        float thumbH = std::max(vh * vh / contentHeight, kMinThumb);
        float thumbY = top + (vh - thumbH) * ui.scrollPos / maxScroll;
        r.fillRect(panelX + panelW - 26, top, 2, vh, fade(pal::Line, 0.3f));
        r.fillRect(panelX + panelW - 27, thumbY, 4, thumbH, pal::GoldDim);
    } else {
        ui.scrollTarget = 0;
        ui.scrollPos += (0 - ui.scrollPos) * k;
    }
}

}  // namespace kd
