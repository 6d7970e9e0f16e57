// The real viewer, started in a directory of pictures made here, driven by
// real key events and window resizes and read back from the X server.

#include "picture.h"
#include "viewer_process.h"

#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

namespace fs = std::filesystem;

namespace {

// Solid colours of the faces 1 to 5; face 6 is split into four quadrants.
const Rgb solid[6] = {{0, 0, 0}, {180, 0, 180}, {0, 170, 170}, {130, 70, 0}, {60, 130, 0}, {0, 60, 130}};
const Rgb topLeft{230, 40, 40}, topRight{40, 200, 60}, bottomLeft{40, 80, 220}, bottomRight{240, 220, 40};
const Rgb white{255, 255, 255};

// An unturned face in the 800 x 600 window: 600 / (2.25 * 2.25) pixels square.
const int faceSide = 118;

Picture quadrants()
{
    Picture p(128, 128, topLeft);
    p.fillRect(64, 0, 128, 64, topRight);
    p.fillRect(0, 64, 64, 128, bottomLeft);
    p.fillRect(64, 64, 128, 128, bottomRight);
    return p;
}

class Viewer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under an X server (./test.sh starts one)";
        char pattern[] = "/tmp/cubeview-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Writes Data/cube1.bmp .. cube6.bmp, leaving out the faces in `missing`.
    void makeFaces(std::initializer_list<int> missing = {})
    {
        fs::create_directory(dir_ + "/Data");
        for (int n = 1; n <= 6; ++n)
            if (std::find(missing.begin(), missing.end(), n) == missing.end()) {
                ASSERT_TRUE(writeBmp(face(n), n == 6 ? quadrants() : Picture(128, 128, solid[n])));
            }
    }
    std::string face(int n) const { return dir_ + "/Data/cube" + std::to_string(n) + ".bmp"; }

    std::string dir_;
};

// The face square of an unturned (or quarter-turned) cube, checked for size
// and place, with every pixel inside it the given colour.
void expectSquareOf(const Picture &frame, Rgb colour, double centreX, double centreY)
{
    const Box box = litBox(frame);
    EXPECT_NEAR(box.width(), faceSide, 1);
    EXPECT_NEAR(box.height(), faceSide, 1);
    EXPECT_NEAR(box.centreX(), centreX, 1);
    EXPECT_NEAR(box.centreY(), centreY, 1);
    EXPECT_TRUE(probeRect(frame, box.left + 2, box.top + 2, box.right - 1, box.bottom - 1, colour));
}

// Share of the pixels of `region` in `actual` that match `expected` at the
// position `from` gives, within a small tolerance.
double agreement(const Picture &actual, const Picture &expected, const Box &region,
                 const std::function<std::pair<int, int>(int, int)> &from)
{
    int same = 0, all = 0;
    for (int y = region.top; y <= region.bottom; ++y)
        for (int x = region.left; x <= region.right; ++x, ++all) {
            const auto [sx, sy] = from(x, y);
            const Rgb &a = actual.at(x, y), &e = expected.at(sx, sy);
            same += std::abs(a.r - e.r) <= 24 && std::abs(a.g - e.g) <= 24 && std::abs(a.b - e.b) <= 24;
        }
    return double(same) / all;
}

TEST_F(Viewer, OpensItsWindowOnTheBackFaceMirroredAndStaysSilent)
{
    makeFaces();
    ViewerProcess viewer(dir_);
    ASSERT_TRUE(viewer.ok());
    EXPECT_EQ(viewer.title(), "color");
    int x, y, width, height;
    viewer.geometry(x, y, width, height);
    EXPECT_EQ(x, 200);
    EXPECT_EQ(y, 200);
    EXPECT_EQ(width, 800);
    EXPECT_EQ(height, 600);

    // The far face wins each pixel: the back face shows, seen from inside,
    // so its picture is mirrored left to right and upright.
    const Picture frame = viewer.settledFrame();
    const Box box = litBox(frame);
    EXPECT_NEAR(box.width(), faceSide, 1);
    EXPECT_NEAR(box.height(), faceSide, 1);
    EXPECT_NEAR(box.centreX(), 400, 1);
    EXPECT_NEAR(box.centreY(), 300, 1);
    const int cx = int(box.centreX()), cy = int(box.centreY()), l = box.left + 3, t = box.top + 3,
              r = box.right - 2, b = box.bottom - 2;
    EXPECT_TRUE(probeRect(frame, l, t, cx - 3, cy - 3, topRight));
    EXPECT_TRUE(probeRect(frame, cx + 3, t, r, cy - 3, topLeft));
    EXPECT_TRUE(probeRect(frame, l, cy + 3, cx - 3, b, bottomRight));
    EXPECT_TRUE(probeRect(frame, cx + 3, cy + 3, r, b, bottomLeft));

    // Idle runs all the time, but nothing changes without input.
    usleep(300000);
    EXPECT_TRUE(viewer.capture().pixels == frame.pixels);
    EXPECT_EQ(viewer.stop(), "");
}

TEST_F(Viewer, FacesWithoutAPictureAreWhite)
{
    {
        ViewerProcess viewer(dir_); // no Data directory at all
        ASSERT_TRUE(viewer.ok());
        expectSquareOf(viewer.settledFrame(), white, 400, 300);
        EXPECT_EQ(viewer.stop(), "");
    }
    makeFaces({6});
    ViewerProcess viewer(dir_);
    ASSERT_TRUE(viewer.ok());
    const Picture first = viewer.settledFrame();
    expectSquareOf(first, white, 400, 300);
    viewer.press(XK_d, 45); // a quarter turn brings the right face round
    expectSquareOf(viewer.nextFrame(first), solid[3], 400, 300);
}

TEST_F(Viewer, PicturesAreKnownByContentAndOddRowLengthsStayStraight)
{
    makeFaces();
    // 301 RGB pixels make rows of 903 bytes, not a multiple of 4.
    Picture odd(301, 77, topLeft);
    odd.fillRect(100, 0, 301, 77, bottomLeft);
    ASSERT_TRUE(writeBmp(face(6), odd));
    ASSERT_TRUE(writeTga(face(1), Picture(128, 128, bottomRight))); // a TGA under a .bmp name

    ViewerProcess viewer(dir_);
    ASSERT_TRUE(viewer.ok());
    const Picture frame = viewer.settledFrame();
    const Box box = litBox(frame);
    ASSERT_NEAR(box.width(), faceSide, 1);
    // Mirrored: the narrow band is on the right, straight from top to bottom.
    const int edge = box.right + 1 - faceSide / 3;
    EXPECT_TRUE(probeRect(frame, box.left + 1, box.top + 1, edge - 2, box.bottom, bottomLeft));
    EXPECT_TRUE(probeRect(frame, edge + 2, box.top + 1, box.right, box.bottom, topLeft));

    viewer.press(XK_s, 90); // half a turn shows the front face
    expectSquareOf(viewer.nextFrame(frame), bottomRight, 400, 300);
}

TEST_F(Viewer, LetterKeysTurnTheCubeAboutItsOwnAxes)
{
    makeFaces();
    ViewerProcess viewer(dir_);
    ASSERT_TRUE(viewer.ok());
    const Picture start = viewer.settledFrame();
    const Box face = litBox(start);
    ASSERT_NEAR(face.width(), faceSide, 1);

    // A quarter turn about the window's centre (400, 300) either way.
    const auto counterClockwise = [](int x, int y) { return std::pair{699 - y, x - 100}; };
    const auto clockwise = [](int x, int y) { return std::pair{y + 100, 699 - x}; };
    const auto same = [](int x, int y) { return std::pair{x, y}; };

    viewer.press(XK_a, 45);
    Picture frame = viewer.nextFrame(start);
    EXPECT_GT(agreement(frame, start, face, counterClockwise), 0.97);
    viewer.press(XK_z, 90);
    frame = viewer.nextFrame(frame);
    EXPECT_GT(agreement(frame, start, face, clockwise), 0.97);
    viewer.press(XK_a, 45);
    frame = viewer.nextFrame(frame);
    EXPECT_GT(agreement(frame, start, face, same), 0.99);

    viewer.press(XK_s, 45); // the bottom face turns to the back
    frame = viewer.nextFrame(frame);
    expectSquareOf(frame, solid[5], 400, 300);
    viewer.press(XK_x, 45);
    viewer.press(XK_d, 45); // then the right face
    frame = viewer.nextFrame(frame);
    expectSquareOf(frame, solid[3], 400, 300);

    viewer.press(XK_A, 3); // upper case: nothing turns
    viewer.press(XK_1);
    viewer.press(XK_Escape);
    EXPECT_TRUE(viewer.settledFrame().pixels == frame.pixels);
}

TEST_F(Viewer, ArrowsSlideThePictureAndAResizeCentresItAgain)
{
    makeFaces();
    ViewerProcess viewer(dir_);
    ASSERT_TRUE(viewer.ok());
    viewer.press(XK_d, 45);
    Picture frame = viewer.nextFrame(viewer.capture());
    expectSquareOf(frame, solid[3], 400, 300);

    // Ten slides of 0.05 eye units: 0.5 / (2.25 * 2.25 * 4 / 3) * 400 pixels.
    const double shift = 0.5 / (2.25 * 2.25 * 4 / 3) * 400;
    viewer.press(XK_Right, 10);
    viewer.press(XK_Up, 10);
    frame = viewer.nextFrame(frame);
    expectSquareOf(frame, solid[3], 400 + shift, 300 - shift);
    viewer.press(XK_Left, 10);
    viewer.press(XK_Down, 20);
    frame = viewer.nextFrame(frame);
    expectSquareOf(frame, solid[3], 400, 300 + shift);

    // Only the shorter side sets the size; the slide is gone, the turn stays.
    viewer.resize(1600, 600);
    frame = viewer.nextFrame(frame);
    expectSquareOf(frame, solid[3], 800, 300);
    viewer.resize(600, 1000);
    expectSquareOf(viewer.nextFrame(frame), solid[3], 300, 500);
}

} // namespace
