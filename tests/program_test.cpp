// The real viewer, started in a directory of pictures made here, driven by
// XTest key events and window resizes, and read back from the X server.

// gtest before any X header: Xlib defines macros such as None and Bool.
#include <gtest/gtest.h>

#include "picture_files.h"
#include "viewer_window.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

// build/cubeview running in `dir`, focused and showing its first frame.
struct Viewer : ViewerWindow {
    explicit Viewer(const std::string &dir) : ViewerWindow(CUBEVIEW_BINARY, dir)
    {
        if (!window)
            return;
        XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
        const Picture black(800, 600, Rgb{0, 0, 0});
        settled(&black);
    }

    // The frame once it has held still for 300 ms (after first leaving `from`, if given).
    Picture settled(const Picture *from = nullptr) const
    {
        Picture last = frame();
        for (int tries = 0; from && last.pixels == from->pixels && tries < 500; ++tries, pauseMs(10))
            last = frame();
        for (int still = 0, tries = 0; still < 15 && tries < 500; ++tries) {
            pauseMs(20);
            Picture next = frame();
            still = next.width == last.width && next.pixels == last.pixels ? still + 1 : 0;
            last = std::move(next);
        }
        return last;
    }

    void press(KeySym key, int times = 1)
    {
        const KeyCode code = XKeysymToKeycode(display, key), shift = XKeysymToKeycode(display, XK_Shift_L);
        const bool upper = key >= XK_A && key <= XK_Z; // same key as lower case, with shift
        for (int i = 0; i < times; ++i) {
            XTestFakeKeyEvent(display, shift, upper, CurrentTime);
            XTestFakeKeyEvent(display, code, True, CurrentTime);
            XTestFakeKeyEvent(display, code, False, CurrentTime);
            XTestFakeKeyEvent(display, shift, False, CurrentTime);
        }
        XSync(display, False);
    }

    void resize(int width, int height)
    {
        XResizeWindow(display, window, unsigned(width), unsigned(height));
        XSync(display, False);
    }
};

// Face pictures: solid colours for faces 1 to 5, four quadrants for face 6.
const Rgb solid[6] = {{0, 0, 0}, {180, 0, 180}, {0, 170, 170}, {130, 70, 0}, {60, 130, 0}, {0, 60, 130}};
const Rgb topLeft{230, 40, 40}, topRight{40, 200, 60}, bottomLeft{40, 80, 220}, bottomRight{240, 220, 40};
const Rgb white{255, 255, 255};
const int faceSide = 118; // an unturned face: 600 / (2.25 * 2.25) pixels

struct Box {
    int left = -1, top = -1, right = -1, bottom = -1; // inclusive
    double centreX() const { return (left + right + 1) / 2.0; }
    double centreY() const { return (top + bottom + 1) / 2.0; }
};

// Bounds of everything that is not black.
Box litBox(const Picture &frame)
{
    Box box;
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x)
            if (!(frame.at(x, y) == Rgb{0, 0, 0})) {
                box.left = box.left < 0 ? x : std::min(box.left, x);
                box.right = std::max(box.right, x);
                box.top = box.top < 0 ? y : box.top;
                box.bottom = y;
            }
    return box;
}

// Whether every pixel of [x0, x1) x [y0, y1) is within 2 of `colour`.
::testing::AssertionResult probeRect(const Picture &frame, int x0, int y0, int x1, int y1, Rgb colour)
{
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const Rgb p = frame.at(x, y);
            if (std::abs(p.r - colour.r) > 2 || std::abs(p.g - colour.g) > 2 || std::abs(p.b - colour.b) > 2)
                return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << int(p.r)
                                                     << " " << int(p.g) << " " << int(p.b);
        }
    return ::testing::AssertionSuccess();
}

// One face square, of the unturned size, centred at (cx, cy) and all `colour`.
void expectFace(const Picture &frame, Rgb colour, double cx, double cy)
{
    const Box box = litBox(frame);
    EXPECT_NEAR(box.right - box.left + 1, faceSide, 1);
    EXPECT_NEAR(box.bottom - box.top + 1, faceSide, 1);
    EXPECT_NEAR(box.centreX(), cx, 1);
    EXPECT_NEAR(box.centreY(), cy, 1);
    EXPECT_TRUE(probeRect(frame, box.left + 2, box.top + 2, box.right - 1, box.bottom - 1, colour));
}

// The four quadrants of the face square in the 800 x 600 window, each all one colour.
void expectQuadrants(const Picture &frame, Rgb topLeftQuarter, Rgb topRightQuarter, Rgb bottomLeftQuarter,
                     Rgb bottomRightQuarter)
{
    EXPECT_TRUE(probeRect(frame, 344, 244, 397, 297, topLeftQuarter));
    EXPECT_TRUE(probeRect(frame, 403, 244, 456, 297, topRightQuarter));
    EXPECT_TRUE(probeRect(frame, 344, 303, 397, 356, bottomLeftQuarter));
    EXPECT_TRUE(probeRect(frame, 403, 303, 456, 356, bottomRightQuarter));
}

class Program : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "needs an X server; ./test.sh starts one";
        char pattern[] = "/tmp/cubeview-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string face(int n) const { return dir + "/Data/cube" + std::to_string(n) + ".bmp"; }
    void makeFaces(int leaveOut = 0)
    {
        Picture quadrants(128, 128, topLeft);
        quadrants.fillRect(64, 0, 128, 64, topRight);
        quadrants.fillRect(0, 64, 64, 128, bottomLeft);
        quadrants.fillRect(64, 64, 128, 128, bottomRight);
        std::filesystem::create_directory(dir + "/Data");
        for (int n = 1; n <= 6; ++n)
            if (n != leaveOut) {
                ASSERT_TRUE(writeBmp(face(n), n == 6 ? quadrants : Picture(128, 128, solid[n])));
            }
    }

    std::string dir;
};

TEST_F(Program, OpensOnTheFarFaceMirroredAndPrintsNothing)
{
    makeFaces();
    {
        Viewer viewer(dir);
        ASSERT_TRUE(viewer.window) << "no window titled \"color\"";
        XWindowAttributes a;
        XGetWindowAttributes(viewer.display, viewer.window, &a);
        int x, y;
        Window child;
        XTranslateCoordinates(viewer.display, viewer.window, a.root, 0, 0, &x, &y, &child);
        EXPECT_EQ((std::vector{x, y, a.width, a.height}), (std::vector{200, 200, 800, 600}));

        // The back face shows, seen from inside: mirrored left to right, upright.
        const Picture first = viewer.settled();
        const Box box = litBox(first); // 400 +- 59.26 by 300 +- 59.26
        EXPECT_EQ((std::vector{box.left, box.top, box.right, box.bottom}), (std::vector{341, 241, 458, 358}));
        expectQuadrants(first, topRight, topLeft, bottomRight, bottomLeft);

        pauseMs(300); // idle runs all the while, yet nothing changes without input
        EXPECT_TRUE(viewer.frame().pixels == first.pixels);
    }
    std::ifstream output(dir + "/output.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(output), {}), "");
}

TEST_F(Program, FacesWithoutAUsablePictureAreWhite)
{
    {
        Viewer viewer(dir); // no Data directory at all
        ASSERT_TRUE(viewer.window);
        expectFace(viewer.settled(), white, 400, 300);
    }
    makeFaces(6);
    // Nor do faces whose file is not a picture, or would block a reader.
    std::filesystem::remove(face(2));
    ASSERT_EQ(mkfifo(face(2).c_str(), 0600), 0);
    std::ofstream(face(4)) << "BM not really a picture";
    Viewer viewer(dir);
    ASSERT_TRUE(viewer.window);
    const Picture first = viewer.settled();
    expectFace(first, white, 400, 300);
    viewer.press(XK_d, 45); // a quarter turn brings the right face round
    expectFace(viewer.settled(&first), solid[3], 400, 300);
}

TEST_F(Program, PicturesAreKnownByContentAndOddRowLengthsStayStraight)
{
    makeFaces();
    Picture odd(301, 77, topLeft); // rows of 903 bytes, not a multiple of 4
    odd.fillRect(100, 0, 301, 77, bottomLeft);
    ASSERT_TRUE(writeBmp(face(6), odd));
    ASSERT_TRUE(writePicture(face(1), Picture(128, 128, bottomRight), Format::Tga)); // a TGA under a .bmp name

    Viewer viewer(dir);
    ASSERT_TRUE(viewer.window);
    const Picture first = viewer.settled();
    // Mirrored, the narrow band is on the right, straight from top to bottom.
    EXPECT_TRUE(probeRect(first, 343, 243, 417, 357, bottomLeft));
    EXPECT_TRUE(probeRect(first, 422, 243, 457, 357, topLeft));
    viewer.press(XK_s, 90); // half a turn shows the front face
    expectFace(viewer.settled(&first), bottomRight, 400, 300);
}

TEST_F(Program, LetterKeysTurnTheCubeAboutItsOwnAxes)
{
    makeFaces();
    Viewer viewer(dir);
    ASSERT_TRUE(viewer.window);
    Picture frame = viewer.settled();
    viewer.press(XK_a, 45); // a quarter turn counter-clockwise
    expectQuadrants(frame = viewer.settled(&frame), topLeft, bottomLeft, topRight, bottomRight);
    viewer.press(XK_z, 90); // half a turn back: a quarter clockwise from the start
    expectQuadrants(frame = viewer.settled(&frame), bottomRight, topRight, bottomLeft, topLeft);
    viewer.press(XK_a, 45);
    expectQuadrants(frame = viewer.settled(&frame), topRight, topLeft, bottomRight, bottomLeft);

    viewer.press(XK_s, 45); // the bottom face turns to the back
    expectFace(frame = viewer.settled(&frame), solid[5], 400, 300);
    viewer.press(XK_x, 45);
    viewer.press(XK_d, 45); // then the right face
    expectFace(frame = viewer.settled(&frame), solid[3], 400, 300);

    viewer.press(XK_A, 3); // no other key turns anything
    viewer.press(XK_1);
    viewer.press(XK_Escape);
    EXPECT_TRUE(viewer.settled().pixels == frame.pixels);
}

TEST_F(Program, ArrowsSlideThePictureAndAResizeCentresItAgain)
{
    makeFaces();
    Viewer viewer(dir);
    ASSERT_TRUE(viewer.window);
    Picture frame = viewer.settled();
    viewer.press(XK_d, 45);
    expectFace(frame = viewer.settled(&frame), solid[3], 400, 300);
    // Ten slides of 0.05 eye units: 0.5 / (2.25 * 2.25 * 800 / 600) * 400 pixels.
    const double shift = 0.5 / (2.25 * 2.25 * 4 / 3) * 400;
    viewer.press(XK_Right, 10);
    viewer.press(XK_Up, 10);
    expectFace(frame = viewer.settled(&frame), solid[3], 400 + shift, 300 - shift);
    viewer.press(XK_Left, 10);
    viewer.press(XK_Down, 20);
    expectFace(frame = viewer.settled(&frame), solid[3], 400, 300 + shift);

    // Only the shorter side sets the size; the slide is gone, the turn stays.
    viewer.resize(1600, 600);
    expectFace(frame = viewer.settled(&frame), solid[3], 800, 300);
    viewer.resize(600, 1000);
    expectFace(viewer.settled(&frame), solid[3], 300, 500);
}

TEST_F(Program, NoDecoderOutlivesAViewerThatCannotStart)
{
    // Faces that would keep their decoders busy until the processor limit.
    std::filesystem::create_directory(dir + "/Data");
    for (int n = 1; n <= 6; ++n)
        std::ofstream(face(n), std::ios::binary)
            << std::string("BM\xe8\3\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\xff\xff\xff\x7f\1\0\0\0\1\0\x18\0", 30)
            << std::string(24, '\0') << std::string(64, '\x55');
    // Orphaned decoders come to this process, which can then see how they ended.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const pid_t viewer = fork();
    if (viewer == 0) {
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1), dup2(quiet, 2);
        unsetenv("DISPLAY"); // GLUT ends the viewer right after the decodes start
        if (chdir(dir.c_str()) == 0)
            execl(CUBEVIEW_BINARY, CUBEVIEW_BINARY, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(viewer, &status, 0), viewer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    rusage usage{};
    int decoders = 0;
    // Each was killed with the viewer, or saw it gone and left: none used
    // its 16 s of processor time.
    for (; wait4(-1, &status, 0, &usage) > 0; ++decoders)
        EXPECT_LT(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec, 8);
    EXPECT_EQ(decoders, 6);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

} // namespace
