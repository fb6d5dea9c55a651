// How much of the launcher's window the player can see, asked of the X server: GLFW reports
// neither an unmapped window (minimised, or on another desktop) nor one hidden behind another.
#pragma once

struct GLFWwindow;

namespace kd {

enum class WindowView {
    Hidden,   // not viewable, or of no size: nothing to draw
    Covered,  // viewable but entirely under another window
    Shown,
};

// Shown when the answer cannot be had (no X11 display), so the screen is never left undrawn.
WindowView windowView(GLFWwindow* window);

}  // namespace kd
