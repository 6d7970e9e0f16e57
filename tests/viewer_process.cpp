#include "viewer_process.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string windowTitle(Display *display, Window window)
{
    char *name = nullptr;
    std::string title;
    if (XFetchName(display, window, &name) && name)
        title = name;
    XFree(name);
    return title;
}

// Every top-level window titled "color".
std::vector<Window> viewerWindows(Display *display)
{
    std::vector<Window> found;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
        for (unsigned i = 0; i < count; ++i)
            if (windowTitle(display, children[i]) == "color")
                found.push_back(children[i]);
        XFree(children);
    }
    return found;
}

bool mapped(Display *display, Window window)
{
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

bool allBlack(const Picture &frame)
{
    for (const Rgb &p : frame.pixels)
        if (p.r || p.g || p.b)
            return false;
    return true;
}

// A failed request (reading a window that is partly off the screen, say)
// must fail the test that made it, not end the whole test program.
int ignoreXError(Display *, XErrorEvent *) { return 0; }

} // namespace

ViewerProcess::ViewerProcess(const std::string &workDir)
{
    // A server that resets when its last client leaves refuses connections
    // for a moment; give it a little time.
    for (int tries = 0; !display_ && tries < 100; ++tries) {
        display_ = XOpenDisplay(nullptr);
        if (!display_)
            pause(20);
    }
    if (!display_)
        return;
    XSetErrorHandler(ignoreXError);
    outputPath_ = workDir + "/viewer-output.txt";
    const std::vector<Window> before = viewerWindows(display_);
    pid_ = fork();
    if (pid_ == 0) {
        const int out = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || chdir(workDir.c_str()) != 0)
            _exit(127);
        dup2(out, 1);
        dup2(out, 2);
        execl(CUBEVIEW_BINARY, CUBEVIEW_BINARY, static_cast<char *>(nullptr));
        _exit(127);
    }

    // Our window is the one titled "color" that was not there before.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline && window_ == 0) {
        for (Window w : viewerWindows(display_))
            if (std::find(before.begin(), before.end(), w) == before.end() && mapped(display_, w))
                window_ = w;
        if (window_ == 0)
            pause(20);
    }
    if (window_ == 0)
        return;
    XSetInputFocus(display_, window_, RevertToPointerRoot, CurrentTime);
    XSync(display_, False);
    while (Clock::now() < deadline && allBlack(capture()))
        pause(20);
}

ViewerProcess::~ViewerProcess()
{
    stop();
    if (display_)
        XCloseDisplay(display_);
}

std::string ViewerProcess::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        // The server may hand the next viewer the same window id, so wait
        // until this window is really gone.
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (window_ && Clock::now() < deadline) {
            const std::vector<Window> open = viewerWindows(display_);
            if (std::find(open.begin(), open.end(), window_) == open.end())
                break;
            pause(10);
        }
    }
    std::ifstream file(outputPath_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string ViewerProcess::title() const { return windowTitle(display_, window_); }

void ViewerProcess::geometry(int &x, int &y, int &width, int &height) const
{
    XWindowAttributes attributes;
    XGetWindowAttributes(display_, window_, &attributes);
    width = attributes.width;
    height = attributes.height;
    Window child;
    XTranslateCoordinates(display_, window_, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
}

void ViewerProcess::press(unsigned long keysym, int times)
{
    const KeyCode code = XKeysymToKeycode(display_, keysym);
    const KeyCode shift = XKeysymToKeycode(display_, XK_Shift_L);
    const bool upperCase = keysym >= XK_A && keysym <= XK_Z; // same key as lower case
    for (int i = 0; i < times; ++i) {
        if (upperCase)
            XTestFakeKeyEvent(display_, shift, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, True, CurrentTime);
        XTestFakeKeyEvent(display_, code, False, CurrentTime);
        if (upperCase)
            XTestFakeKeyEvent(display_, shift, False, CurrentTime);
    }
    XSync(display_, False);
}

void ViewerProcess::resize(int width, int height)
{
    XResizeWindow(display_, window_, unsigned(width), unsigned(height));
    XSync(display_, False);
}

Picture ViewerProcess::capture() const
{
    XWindowAttributes attributes;
    XGetWindowAttributes(display_, window_, &attributes);
    Picture frame(attributes.width, attributes.height, Rgb{0, 0, 0});
    XImage *image = XGetImage(display_, window_, 0, 0, unsigned(frame.width),
                              unsigned(frame.height), AllPlanes, ZPixmap);
    if (!image)
        return frame;
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            frame.at(x, y) = Rgb{std::uint8_t((p & image->red_mask) >> 16),
                                 std::uint8_t((p & image->green_mask) >> 8),
                                 std::uint8_t(p & image->blue_mask)};
        }
    XDestroyImage(image);
    return frame;
}

Picture ViewerProcess::nextFrame(const Picture &before) const
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && capture().pixels == before.pixels)
        pause(10);
    return settledFrame();
}

Picture ViewerProcess::settledFrame() const
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    Picture last = capture();
    for (int still = 0; still < 15 && Clock::now() < deadline;) {
        pause(20);
        Picture frame = capture();
        still = frame.width == last.width && frame.pixels == last.pixels ? still + 1 : 0;
        last = std::move(frame);
    }
    return last;
}

Box litBox(const Picture &frame)
{
    Box box{-1, -1, -1, -1};
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x) {
            const Rgb &p = frame.at(x, y);
            if (!(p.r || p.g || p.b))
                continue;
            if (box.left < 0 || x < box.left)
                box.left = x;
            if (x > box.right)
                box.right = x;
            if (box.top < 0)
                box.top = y;
            box.bottom = y;
        }
    return box;
}

::testing::AssertionResult probeRect(const Picture &frame, int x0, int y0, int x1, int y1,
                                     Rgb colour, int tolerance)
{
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const Rgb &p = frame.at(x, y);
            if (std::abs(p.r - colour.r) > tolerance || std::abs(p.g - colour.g) > tolerance ||
                std::abs(p.b - colour.b) > tolerance)
                return ::testing::AssertionFailure()
                       << "pixel (" << x << ", " << y << ") is (" << int(p.r) << ", " << int(p.g)
                       << ", " << int(p.b) << "), expected (" << int(colour.r) << ", "
                       << int(colour.g) << ", " << int(colour.b) << ")";
        }
    return ::testing::AssertionSuccess();
}
