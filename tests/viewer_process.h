#pragma once

// Runs the real viewer as a user would and drives it through the X server:
// finds its window by title, sends key events through XTest, resizes the
// window and reads back what it shows.

#include "picture.h"

#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>

class ViewerProcess {
public:
    // Starts the viewer with workDir as its working directory and waits
    // for its window to show a first frame.
    explicit ViewerProcess(const std::string &workDir);
    ~ViewerProcess();
    ViewerProcess(const ViewerProcess &) = delete;
    ViewerProcess &operator=(const ViewerProcess &) = delete;

    bool ok() const { return window_ != 0; }
    std::string title() const;
    // Window size and its top-left corner on the screen.
    void geometry(int &x, int &y, int &width, int &height) const;

    void press(unsigned long keysym, int times = 1); // an X keysym, XK_...
    void resize(int width, int height);

    Picture capture() const;
    // The frame once it has differed from `before` and then held still.
    Picture nextFrame(const Picture &before) const;
    // The frame once it has held still, changed or not.
    Picture settledFrame() const;

    // Stops the viewer; returns what it wrote to stdout and stderr.
    std::string stop();

private:
    pid_t pid_ = -1;
    struct _XDisplay *display_ = nullptr;
    unsigned long window_ = 0; // the X window
    std::string outputPath_;
};

// Pixel probes on a captured frame.
struct Box {
    int left, top, right, bottom; // inclusive pixel bounds
    int width() const { return right - left + 1; }
    int height() const { return bottom - top + 1; }
    double centreX() const { return (left + right + 1) / 2.0; }
    double centreY() const { return (top + bottom + 1) / 2.0; }
};

// Bounds of every pixel that is not black; all -1 if there is none.
Box litBox(const Picture &frame);

// Whether every pixel of [x0, x1) x [y0, y1) lies within tolerance of colour.
::testing::AssertionResult probeRect(const Picture &frame, int x0, int y0, int x1, int y1,
                                     Rgb colour, int tolerance = 2);
