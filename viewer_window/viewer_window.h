#pragma once

// Runs a viewer binary and finds its window, titled "color", through the X
// server; used by the tests that drive the real program and by the start-up
// benchmark.

#include "picture.h"

#include <X11/Xlib.h>
#include <sys/types.h>

#include <string>

void pauseMs(int ms);

class ViewerWindow {
public:
    // Starts `binary` in `dir`, its output going to dir/output.txt, and waits
    // up to 20 s for its window to be mapped. `window` stays 0 if it is not.
    // Given the directory of a control group, the viewer joins that group
    // before it starts, so that the group holds it and all its children.
    ViewerWindow(const std::string &binary, const std::string &dir, const std::string &cgroup = "");
    // Stops the viewer and waits for its window to go.
    ~ViewerWindow();
    ViewerWindow(const ViewerWindow &) = delete;
    ViewerWindow &operator=(const ViewerWindow &) = delete;

    // What the window shows in the given rectangle; width -1 means all of it.
    Picture frame(int x = 0, int y = 0, int width = -1, int height = -1) const;

    Display *display = nullptr;
    Window window = 0;
    pid_t pid = -1;
};
