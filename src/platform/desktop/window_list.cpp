#include "platform/desktop/window_list.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace korvalo {

namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct XFreer {
    void operator()(void* data) const {
        if (data != nullptr)
            XFree(data);
    }
};
template <typename T>
using XPtr = std::unique_ptr<T, XFreer>;

// Windows may disappear while they are looked at: errors are ignored while this lives,
// instead of Xlib's default of ending the process.
class IgnoreXErrors {
public:
    IgnoreXErrors() : previous_(XSetErrorHandler(&Ignore)) {}
    ~IgnoreXErrors() { XSetErrorHandler(previous_); }
    IgnoreXErrors(const IgnoreXErrors&) = delete;
    IgnoreXErrors& operator=(const IgnoreXErrors&) = delete;

private:
    static int Ignore(Display*, XErrorEvent*) { return 0; }
    XErrorHandler previous_;
};

DisplayPtr OpenDisplay() {
    return DisplayPtr(XOpenDisplay(nullptr));
}

// The value of a window property of the given type, as bytes; empty when absent.
std::string TextProperty(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 1024, False, type, &actualType, &format,
                           &count, &after, &raw) != Success)
        return {};
    XPtr<unsigned char> data(raw);
    if (data == nullptr || actualType != type || format != 8)
        return {};
    return std::string(reinterpret_cast<const char*>(data.get()), count);
}

std::string Latin1ToUtf8(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string WindowTitle(Display* display, Window window) {
    const Atom netWmName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    std::string title = TextProperty(display, window, netWmName, utf8);
    if (title.empty())
        title = Latin1ToUtf8(TextProperty(display, window, XA_WM_NAME, XA_STRING));
    if (title.empty())
        title = TextProperty(display, window, XA_WM_NAME, utf8);
    return title;
}

// The managed windows of the window manager, then the top-level windows themselves.
std::vector<Window> TopLevelWindows(Display* display) {
    std::vector<Window> windows;
    const Window root = DefaultRootWindow(display);
    const Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST", False);
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(display, root, clientList, 0, 65536, False, XA_WINDOW, &actualType,
                           &format, &count, &after, &raw) == Success) {
        XPtr<unsigned char> data(raw);
        if (data != nullptr && actualType == XA_WINDOW && format == 32) {
            const auto* ids = reinterpret_cast<const unsigned long*>(data.get());
            windows.assign(ids, ids + count);
        }
    }
    Window rootReturn = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int childCount = 0;
    if (XQueryTree(display, root, &rootReturn, &parent, &children, &childCount) != 0) {
        XPtr<Window> owned(children);
        for (unsigned int i = 0; i < childCount; ++i)
            windows.push_back(children[i]);
    }
    return windows;
}

}  // namespace

DesktopWindow FindDesktopWindow(const std::function<bool(const std::string& title)>& match) {
    DisplayPtr display = OpenDisplay();
    if (!display)
        return 0;
    IgnoreXErrors ignore;
    for (Window window : TopLevelWindows(display.get())) {
        if (match(WindowTitle(display.get(), window)))
            return window;
    }
    return 0;
}

void MarkSkipTaskbar(DesktopWindow window) {
    if (window == 0)
        return;
    DisplayPtr display = OpenDisplay();
    if (!display)
        return;
    IgnoreXErrors ignore;
    Display* d = display.get();
    const Atom state = XInternAtom(d, "_NET_WM_STATE", False);
    std::vector<Atom> atoms;
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(d, window, state, 0, 1024, False, XA_ATOM, &actualType, &format, &count,
                           &after, &raw) == Success) {
        XPtr<unsigned char> data(raw);
        if (data != nullptr && actualType == XA_ATOM && format == 32) {
            const auto* ids = reinterpret_cast<const unsigned long*>(data.get());
            atoms.assign(ids, ids + count);
        }
    }
    for (const char* name : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
        const Atom atom = XInternAtom(d, name, False);
        if (std::find(atoms.begin(), atoms.end(), atom) == atoms.end())
            atoms.push_back(atom);
    }
    XChangeProperty(d, window, state, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(atoms.data()),
                    static_cast<int>(atoms.size()));
    XSync(d, False);
}

DisplayConnection::DisplayConnection() : display_(XOpenDisplay(nullptr)) {}

void DisplayConnection::Closer::operator()(_XDisplay* display) const {
    XCloseDisplay(display);
}

void HideDesktopWindow(DesktopWindow window) {
    if (window == 0)
        return;
    DisplayPtr display = OpenDisplay();
    if (!display)
        return;
    IgnoreXErrors ignore;
    XWithdrawWindow(display.get(), window, DefaultScreen(display.get()));
    XSync(display.get(), False);
}

}  // namespace korvalo
