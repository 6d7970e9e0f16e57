#include "viewer_window.h"

#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

void pauseMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {

std::vector<Window> windowsTitledColor(Display *x)
{
    std::vector<Window> found;
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    XQueryTree(x, DefaultRootWindow(x), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count; ++i) {
        char *name = nullptr;
        if (XFetchName(x, children[i], &name) && std::string(name) == "color")
            found.push_back(children[i]);
        XFree(name);
    }
    XFree(children);
    return found;
}

// A failed request (reading a window partly off the screen, say) must fail
// the check that made it, not end the program.
int ignoreXError(Display *, XErrorEvent *) { return 0; }

// Moves the calling process into the control group whose process list is
// `procs`; only system calls, for a child between fork and exec.
bool joinGroup(const char *procs)
{
    char pid[16];
    const char *end = std::to_chars(pid, pid + sizeof pid, getpid()).ptr;
    const int file = open(procs, O_WRONLY | O_CLOEXEC);
    const bool joined = file >= 0 && write(file, pid, size_t(end - pid)) == end - pid;
    if (file >= 0)
        close(file);
    return joined;
}

} // namespace

ViewerWindow::ViewerWindow(const std::string &binary, const std::string &dir, const std::string &cgroup)
{
    const std::string groupProcs = cgroup.empty() ? "" : cgroup + "/cgroup.procs";
    for (int tries = 0; !display && tries < 100; ++tries, pauseMs(20)) // a resetting server refuses for a moment
        display = XOpenDisplay(nullptr);
    if (!display)
        return;
    XSetErrorHandler(ignoreXError);
    const std::vector<Window> before = windowsTitledColor(display);
    pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // a test that dies takes its viewer with it
        if (!groupProcs.empty() && !joinGroup(groupProcs.c_str()))
            _exit(127);
        // Plain descriptors: closing stdio here would flush the parent's buffered output a second time.
        const int output = chdir(dir.c_str()) == 0 ? open("output.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
        if (output >= 0 && dup2(output, 1) == 1 && dup2(output, 2) == 2) {
            // Nothing open but its output, not even standard input, as some
            // launchers leave it: the viewer's own files then start at 0.
            close(0), syscall(SYS_close_range, 3U, ~0U, 0U);
            execl(binary.c_str(), binary.c_str(), static_cast<char *>(nullptr));
        }
        _exit(127);
    }
    for (int tries = 0; !window && tries < 4000; ++tries, pauseMs(5))
        for (Window w : windowsTitledColor(display)) {
            XWindowAttributes a;
            if (std::count(before.begin(), before.end(), w) == 0 && XGetWindowAttributes(display, w, &a) &&
                a.map_state == IsViewable)
                window = w;
        }
}

ViewerWindow::~ViewerWindow()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    // The next viewer may be given the same window id: wait until this one is gone.
    for (int tries = 0; window && tries < 500 && windowsTitledColor(display) == std::vector{window}; ++tries)
        pauseMs(10);
    if (display)
        XCloseDisplay(display);
}

Picture ViewerWindow::frame(int x, int y, int width, int height) const
{
    if (width < 0) {
        XWindowAttributes a{};
        XGetWindowAttributes(display, window, &a);
        width = a.width;
        height = a.height;
    }
    Picture frame(width, height, Rgb{0, 0, 0});
    XImage *image = XGetImage(display, window, x, y, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
    for (int row = 0; image && row < height; ++row)
        for (int col = 0; col < width; ++col) {
            const unsigned long p = XGetPixel(image, col, row); // 24-bit TrueColor
            frame.at(col, row) = Rgb{std::uint8_t(p >> 16), std::uint8_t(p >> 8), std::uint8_t(p)};
        }
    if (image)
        XDestroyImage(image);
    return frame;
}
