#include "app/window_view.h"

#include <GLFW/glfw3.h>
#include <X11/Xlib.h>

// From GLFW's native access; glfw3native.h itself would want the XRandR headers as well.
extern "C" Display* glfwGetX11Display(void);
extern "C" Window glfwGetX11Window(GLFWwindow* window);

namespace kd {

namespace {

// The window that holds ours among the children of the root: the frame a window manager put
// around it, or the window itself without one.
Window topLevelOf(Display* display, Window window, Window& root) {
    for (;;) {
        Window parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &count)) return window;
        if (children) XFree(children);
        if (parent == root || parent == 0) return window;
        window = parent;
    }
}

// One viewable window stacked above ours that spans all of it. Several windows that cover it only
// together are not recognised; the launcher then just keeps drawing at its background rate.
bool coveredFrom(Display* display, Window window, const XWindowAttributes& own) {
    Window root = 0;
    const Window top = topLevelOf(display, window, root);
    int x = 0, y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child)) return false;
    Window rootReturn = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, root, &rootReturn, &parent, &children, &count)) return false;
    bool covered = false;
    bool above = false;  // children come bottom to top
    for (unsigned i = 0; i < count && !covered; ++i) {
        if (children[i] == top) {
            above = true;
            continue;
        }
        XWindowAttributes other;
        if (!above || !XGetWindowAttributes(display, children[i], &other)) continue;
        covered = other.map_state == IsViewable && other.c_class == InputOutput && other.x <= x &&
                  other.y <= y && other.x + other.width >= x + own.width &&
                  other.y + other.height >= y + own.height;
    }
    if (children) XFree(children);
    return covered;
}

}  // namespace

WindowView windowView(GLFWwindow* window) {
    if (glfwGetWindowAttrib(window, GLFW_ICONIFIED)) return WindowView::Hidden;
    Display* display = glfwGetX11Display();
    const Window own = display ? glfwGetX11Window(window) : 0;
    XWindowAttributes attributes;
    if (!own || !XGetWindowAttributes(display, own, &attributes)) return WindowView::Shown;
    if (attributes.map_state != IsViewable || attributes.width <= 0 || attributes.height <= 0)
        return WindowView::Hidden;
    return coveredFrom(display, own, attributes) ? WindowView::Covered : WindowView::Shown;
}

}  // namespace kd
