// The real viewer, started in a directory of pictures made here, driven by
// XTest key events and window resizes, and read back from the X server.

// gtest before any X header: Xlib defines macros such as None and Bool.
#include <gtest/gtest.h>

#include "bounded_wait.h"
#include "picture_files.h"
#include "process_view.h"
#include "viewer_window.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace {

// Face n's picture has four quarters of its own colours: top left, top
// right, bottom left, bottom right.
const Rgb quarters[7][4] = {
    {},
    {{230, 40, 40}, {40, 200, 60}, {40, 80, 220}, {240, 220, 40}},
    {{180, 0, 180}, {0, 170, 170}, {130, 70, 0}, {60, 130, 0}},
    {{250, 150, 150}, {150, 250, 150}, {150, 150, 250}, {20, 20, 20}},
    {{100, 0, 0}, {0, 100, 0}, {0, 0, 100}, {100, 100, 100}},
    {{255, 128, 0}, {128, 255, 0}, {0, 128, 255}, {255, 0, 128}},
    {{90, 200, 120}, {200, 90, 120}, {120, 90, 200}, {160, 160, 40}},
};
const int checkered = 2; // face 6's bottom left quarter alternates about its colour
const Rgb allWhite[4] = {{255, 255, 255}, {255, 255, 255}, {255, 255, 255}, {255, 255, 255}};
const int faceSide = 118; // an unturned face: 600 / (2.25 * 2.25) pixels

// Which of the picture's quarters shows in the top left, top right, bottom
// left and bottom right of the face square.
using View = std::array<int, 4>;
const View mirrored{1, 0, 3, 2}, upsideDown{2, 3, 0, 1};
const View turnedLeft{0, 2, 1, 3}, turnedRight{3, 1, 2, 0}; // a quarter turn of the face seen mirrored

// Face 6, in view first, is 301 pixels wide (rows of 903 bytes) with a
// one-pixel checker in one quarter, shrunk on screen; face 3 is 16 pixels
// square, enlarged. So both texture filters show.
Picture facePicture(int n)
{
    const int width = n == 6 ? 301 : n == 3 ? 16 : 128, height = n == 3 ? 16 : 128;
    Picture picture(width, height, Rgb{});
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int quarter = (y >= height / 2) * 2 + (x >= width / 2);
            Rgb c = quarters[n][quarter];
            if (n == 6 && quarter == checkered) {
                const int step = (x + y) % 2 ? 30 : -30;
                c = Rgb{std::uint8_t(c.r + step), std::uint8_t(c.g + step), std::uint8_t(c.b + step)};
            }
            picture.at(x, y) = c;
        }
    return picture;
}

struct Box {
    int left = -1, top = -1, right = -1, bottom = -1; // inclusive
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

// Whether every pixel of [x0, x1) x [y0, y1) is within `spread` + 2 of
// `colour`. How many different pixels it holds goes to `distinct`.
::testing::AssertionResult probeRect(const Picture &frame, int x0, int y0, int x1, int y1, Rgb colour, int spread = 0,
                                     size_t *distinct = nullptr)
{
    std::set<std::uint32_t> seen;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const Rgb p = frame.at(x, y);
            for (int d : {p.r - colour.r, p.g - colour.g, p.b - colour.b})
                if (std::abs(d) > spread + 2)
                    return ::testing::AssertionFailure()
                           << "pixel (" << x << ", " << y << ") is " << int(p.r) << " " << int(p.g) << " " << int(p.b);
            seen.insert(std::uint32_t(p.r) << 16 | p.g << 8 | p.b);
        }
    if (distinct)
        *distinct = seen.size();
    return ::testing::AssertionSuccess();
}

// Whether the frame shows an unturned face square centred at (cx, cy), its
// quarters showing `colours` in the order of `view`.
::testing::AssertionResult showsFace(const Picture &frame, const Rgb (&colours)[4], const View &view, double cx,
                                     double cy)
{
    const Box box = litBox(frame);
    const double seen[4] = {box.right - box.left + 1.0, box.bottom - box.top + 1.0, (box.left + box.right + 1) / 2.0,
                            (box.top + box.bottom + 1) / 2.0};
    const double wanted[4] = {faceSide, faceSide, cx, cy};
    for (int i = 0; i < 4; ++i)
        if (std::abs(seen[i] - wanted[i]) > 1)
            return ::testing::AssertionFailure()
                   << "lit from (" << box.left << ", " << box.top << ") to (" << box.right << ", " << box.bottom << ")";
    const int half = faceSide / 2, inset = 5; // clear of the quarters' blended edges
    for (int q = 0; q < 4; ++q) {
        const int x0 = box.left + (q % 2) * half + inset, y0 = box.top + (q / 2) * half + inset;
        const bool checker = &colours == &quarters[6] && view[q] == checkered;
        auto probe =
            probeRect(frame, x0, y0, x0 + half - 2 * inset, y0 + half - 2 * inset, colours[view[q]], checker ? 30 : 0);
        if (!probe)
            return probe << " in quarter " << q;
    }
    return ::testing::AssertionSuccess();
}

// The viewer built here, or `binary`, running in `dir`, focused.
struct Viewer : ViewerWindow {
    explicit Viewer(const std::string &dir, const std::string &binary = CUBEVIEW_BINARY) : ViewerWindow(binary, dir)
    {
        if (window)
            XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    }

    // Whether the window comes to show that face before the bound on a hang;
    // the last frame read stays in `last`.
    ::testing::AssertionResult shows(const Rgb (&colours)[4], const View &view, double cx = 400, double cy = 300)
    {
        ::testing::AssertionResult shown = ::testing::AssertionFailure();
        within([&] { return bool(shown = showsFace(last = frame(), colours, view, cx, cy)); });
        return shown;
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

    Picture last{0, 0, {}};
};

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
    // Six good faces that take a decoder about a second each (256 MiB of grey).
    void makeSlowFaces()
    {
        std::filesystem::create_directory(dir + "/Data");
        ASSERT_TRUE(writeZeroPng(face(1), 16384, 16384));
        for (int n = 2; n <= 6; ++n)
            std::filesystem::create_hard_link(face(1), face(n));
    }
    // Faces 1 to 6 in TGA, PNG, PNG, TGA, BMP and BMP, all under .bmp names.
    void makeFaces()
    {
        const Format formats[7] = {{}, Format::Tga, Format::Png, Format::Png, Format::Tga, Format::Bmp, Format::Bmp};
        std::filesystem::create_directory(dir + "/Data");
        for (int n = 1; n <= 6; ++n)
            ASSERT_TRUE(writePicture(face(n), facePicture(n), formats[n]));
    }

    std::string dir;
};

TEST_F(Program, OpensOnTheFarFaceMirroredAndPrintsNothing)
{
    makeFaces();
    std::filesystem::remove(face(5));
    ASSERT_EQ(mkfifo(face(5).c_str(), 0600), 0);
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
        ASSERT_TRUE(viewer.shows(quarters[6], mirrored));
        const Picture first = viewer.last;
        const Box box = litBox(first); // 400 +- 59.26 by 300 +- 59.26
        EXPECT_EQ((std::vector{box.left, box.top, box.right, box.bottom}), (std::vector{341, 241, 458, 358}));
        // Shrunk with linear filtering, the checker blends into many shades.
        size_t shades = 0;
        EXPECT_TRUE(probeRect(first, 405, 305, 455, 355, quarters[6][checkered], 30, &shades));
        EXPECT_GT(shades, 8u);

        pauseMs(300); // idle runs all the while, yet nothing changes without input
        EXPECT_TRUE(viewer.frame().pixels == first.pixels);
        viewer.press(XK_s, 45); // the bottom face, whose file would block a reader, is white
        EXPECT_TRUE(viewer.shows(allWhite, mirrored));
    }
    std::ifstream output(dir + "/output.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(output), {}), "");
}

TEST_F(Program, TheKeysTurnTheCubeAboutItsOwnAxesAndEveryFaceShowsFromInside)
{
    makeFaces();
    Viewer viewer(dir);
    ASSERT_TRUE(viewer.window);
    ASSERT_TRUE(viewer.shows(quarters[6], mirrored));
    const struct {
        KeySym key;
        int presses, face;
        View view;
    } walk[] = {
        {XK_a, 45, 6, turnedLeft},  // a quarter turn counter-clockwise
        {XK_z, 90, 6, turnedRight}, // half a turn back: a quarter clockwise from the start
        {XK_a, 45, 6, mirrored},    // back at the start
        {XK_s, 45, 5, mirrored},    // the bottom face turns to the back
        {XK_s, 45, 1, upsideDown},  // then the front
        {XK_s, 45, 2, upsideDown},  // then the top
        {XK_x, 135, 6, mirrored},   // x undoes s
        {XK_d, 45, 3, mirrored},    // the right face
        {XK_c, 90, 4, mirrored},    // c undoes d, and on to the left face
    };
    for (const auto &step : walk) {
        viewer.press(step.key, step.presses);
        SCOPED_TRACE(::testing::Message() << step.presses << " x " << XKeysymToString(step.key));
        EXPECT_TRUE(viewer.shows(quarters[step.face], step.view));
    }
    // Enlarged with linear filtering, face 3's quarters blend across their border.
    viewer.press(XK_d, 90);
    EXPECT_TRUE(viewer.shows(quarters[3], mirrored));
    size_t shades = 0;
    EXPECT_TRUE(probeRect(viewer.last, 395, 250, 405, 290, Rgb{200, 200, 150}, 60, &shades));
    EXPECT_GT(shades, 4u);

    // Ten slides of 0.05 eye units: 0.5 / (2.25 * 2.25 * 800 / 600) * 400 pixels.
    const double shift = 0.5 / (2.25 * 2.25 * 4 / 3) * 400;
    viewer.press(XK_Right, 10);
    viewer.press(XK_Up, 10);
    EXPECT_TRUE(viewer.shows(quarters[3], mirrored, 400 + shift, 300 - shift));
    viewer.press(XK_Left, 10);
    viewer.press(XK_Down, 20);
    EXPECT_TRUE(viewer.shows(quarters[3], mirrored, 400, 300 + shift));
    // Only the shorter side sets the size; the slide is gone, the turn stays.
    XResizeWindow(viewer.display, viewer.window, 600, 1000);
    EXPECT_TRUE(viewer.shows(quarters[3], mirrored, 300, 500));

    viewer.press(XK_A, 3); // no other key turns anything
    viewer.press(XK_1);
    viewer.press(XK_Escape);
    pauseMs(300);
    EXPECT_TRUE(viewer.frame().pixels == viewer.last.pixels);
}

TEST_F(Program, NoDecoderOutlivesAViewerThatCannotStart)
{
    if (!CUBEVIEW_ISOLATED)
        GTEST_SKIP() << "this viewer decodes in its own process";
    makeSlowFaces(); // far slower than a viewer without a display ends
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
    ASSERT_EQ(waitBounded(viewer, &status), viewer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    rusage usage{};
    int decoders = 0;
    // The three started before the window would have opened. Each was
    // killed as the viewer went away, by the signal it asked for then, or,
    // still starting, saw it gone and left: none decoded its face to the
    // end, nor ran into its processor limit of 80 s, which kills too.
    for (; waitBounded(-1, &status, &usage) > 0; ++decoders) {
        EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ||
                    (WIFEXITED(status) && WEXITSTATUS(status) == 1))
            << "decoder " << decoders << ", wait status " << status;
        EXPECT_LT(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec, 8);
    }
    EXPECT_EQ(decoders, 3);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST_F(Program, EachDecoderIsAProgramOfItsOwnThatInheritsNothing)
{
    if (!CUBEVIEW_ISOLATED)
        GTEST_SKIP() << "this viewer decodes in its own process";
    makeSlowFaces();
    // An environment that would reach into a decoder that shared it: a
    // preloaded library, and malloc's settings.
    setenv("LD_PRELOAD", "libm.so.6", 1);
    setenv("GLIBC_TUNABLES", "glibc.malloc.mmap_threshold=4096:glibc.mem.decorate_maps=1", 1);
    const Viewer viewer(dir);
    unsetenv("LD_PRELOAD");
    unsetenv("GLIBC_TUNABLES");
    ASSERT_TRUE(viewer.window);
    // Each decoder, as seen from outside once its filter is in force.
    std::map<pid_t, std::string> decoders;
    within([&] {
        for (pid_t pid : childrenOf(viewer.pid))
            if (!decoders.count(pid) && filtersOf(pid) > 0)
                decoders[pid] = confinementOf(pid);
        return decoders.size() == 6;
    });
    EXPECT_EQ(decoders.size(), 6u);
    for (const auto &[pid, seen] : decoders)
        EXPECT_EQ(seen, "cubeview-decode: 0 /dev/null, 1 /dev/null, 2 /dev/null, 3 /memfd:face (deleted); seccomp 2, "
                        "no new privileges 1; environment empty");
}

TEST_F(Program, InstalledAnywhereAndStartedThroughALinkItFindsItsDecoder)
{
    makeFaces();
    const std::string prefix = dir + "/prefix", link = dir + "/cubeview";
    const std::string install = "'" CMAKE_COMMAND "' --install '" BUILD_DIR "' --prefix '" + prefix + "' >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0);
    std::filesystem::create_symlink(prefix + "/bin/cubeview", link);
    {
        Viewer viewer(dir, link);
        ASSERT_TRUE(viewer.window);
        EXPECT_TRUE(viewer.shows(quarters[6], mirrored));
    }
    if (!CUBEVIEW_ISOLATED)
        return;
    // Without its decoder, every face is white, and the viewer runs on.
    for (const auto &file : std::filesystem::recursive_directory_iterator(prefix))
        if (file.path().filename() == "cubeview-decode")
            std::filesystem::remove(file.path());
    Viewer viewer(dir, link);
    ASSERT_TRUE(viewer.window);
    EXPECT_TRUE(viewer.shows(allWhite, mirrored));
    viewer.press(XK_s, 45);
    EXPECT_TRUE(viewer.shows(allWhite, mirrored));
}

} // namespace
