// The view and scene callbacks on a real GL context, checked through the
// matrices they leave behind.

#include "scene.h"
#include "startup.h"
#include "view.h"

#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include <unistd.h>

// The start-up module owns these; here each test sets them itself.
double rotStepX, rotStepY, rotStepZ;

namespace {

using Matrix = std::array<double, 16>; // column-major, as OpenGL stores it

Matrix current(GLenum which)
{
    Matrix m;
    glGetDoublev(which, m.data());
    return m;
}

Matrix identity() { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

Matrix multiply(const Matrix &a, const Matrix &b)
{
    Matrix m{};
    for (int col = 0; col < 4; ++col)
        for (int row = 0; row < 4; ++row)
            for (int k = 0; k < 4; ++k)
                m[col * 4 + row] += a[k * 4 + row] * b[col * 4 + k];
    return m;
}

// Counter-clockwise turn by deg about the unit axis (x, y, z).
Matrix rotation(double deg, double x, double y, double z)
{
    const double r = deg * M_PI / 180, c = std::cos(r), s = std::sin(r), t = 1 - c;
    return {t * x * x + c,     t * x * y + s * z, t * x * z - s * y, 0,
            t * x * y - s * z, t * y * y + c,     t * y * z + s * x, 0,
            t * x * z + s * y, t * y * z - s * x, t * z * z + c,     0,
            0,                 0,                 0,                 1};
}

Matrix translation(double x, double y)
{
    Matrix m = identity();
    m[12] = x;
    m[13] = y;
    return m;
}

// Eye space to normalised device coordinates for a window of the given
// size: the shorter side spans 2 * 2.25 * 2.25 eye units, z maps to +z/1000.
Matrix expectedProjection(double width, double height)
{
    const double ax = width > height ? width / height : 1;
    const double ay = width <= height ? height / width : 1;
    Matrix m = identity();
    m[0] = 1 / (2.25 * 2.25 * ax);
    m[5] = 1 / (2.25 * 2.25 * ay);
    m[10] = 1 / 1000.0;
    return m;
}

::testing::AssertionResult near(const Matrix &actual, const Matrix &expected, double tolerance)
{
    for (int i = 0; i < 16; ++i)
        if (!(std::fabs(actual[i] - expected[i]) <= tolerance * std::max(1.0, std::fabs(expected[i]))))
            return ::testing::AssertionFailure()
                   << "element " << i << " is " << actual[i] << ", expected " << expected[i];
    return ::testing::AssertionSuccess();
}

GLint matrixMode()
{
    GLint mode = 0;
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    return mode;
}

int redraws = 0;
void countRedraw() { ++redraws; }

class Callbacks : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        int argc = 1;
        char name[] = "callbacks_test";
        char *argv[] = {name, nullptr};
        glutInit(&argc, argv);
        glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
        glutInitWindowSize(200, 150);
        glutInitWindowPosition(1800, 1300); // clear of the viewer's own window
        glutCreateWindow("callbacks test");
        glutDisplayFunc(countRedraw);
    }

    void SetUp() override
    {
        rotStepX = rotStepY = rotStepZ = 2.0;
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
    }

    void TearDown() override { EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR)); }

    static void press(unsigned char key, int times = 1)
    {
        for (int i = 0; i < times; ++i)
            keyboard(key, 0, 0);
    }
};

TEST_F(Callbacks, ReshapeBuildsTheSquareOrthographicViewForAnyShape)
{
    const int sizes[][2] = {{800, 600}, {600, 800}, {500, 500}, {1600, 600}, {1, 1000}};
    for (const auto &size : sizes) {
        SCOPED_TRACE(::testing::Message() << size[0] << "x" << size[1]);
        glMatrixMode(GL_PROJECTION);
        glTranslatef(3, 4, 5); // whatever was there must go
        glMatrixMode(GL_MODELVIEW);
        reshape(size[0], size[1]);
        EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), expectedProjection(size[0], size[1]), 1e-6));
        GLint viewport[4];
        glGetIntegerv(GL_VIEWPORT, viewport);
        EXPECT_EQ(viewport[2], size[0]);
        EXPECT_EQ(viewport[3], size[1]);
        EXPECT_EQ(matrixMode(), GL_MODELVIEW);
    }
}

TEST_F(Callbacks, ReshapeOfACollapsedWindowKeepsTheProjectionFinite)
{
    const int sizes[][2] = {{0, 600}, {800, 0}, {0, 0}};
    for (const auto &size : sizes) {
        SCOPED_TRACE(::testing::Message() << size[0] << "x" << size[1]);
        reshape(size[0], size[1]);
        const Matrix p = current(GL_PROJECTION_MATRIX);
        for (double v : p)
            EXPECT_TRUE(std::isfinite(v));
        // A zero side counts as one pixel.
        EXPECT_TRUE(near(p, expectedProjection(std::max(size[0], 1), std::max(size[1], 1)), 1e-6));
        EXPECT_EQ(matrixMode(), GL_MODELVIEW);
    }
    reshape(800, 600); // and a real size afterwards recovers fully
    EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), expectedProjection(800, 600), 1e-6));
}

TEST_F(Callbacks, EachLetterKeyTurnsByItsOwnAxisStep)
{
    rotStepX = 3, rotStepY = 5, rotStepZ = 7; // distinct, so a mixed-up axis shows
    const struct {
        unsigned char key;
        double deg, x, y, z;
    } turns[] = {{'a', 7, 0, 0, 1}, {'z', 7, 0, 0, -1}, {'s', 3, 1, 0, 0},
                 {'x', 3, -1, 0, 0}, {'d', 5, 0, 1, 0}, {'c', 5, 0, -1, 0}};
    for (const auto &turn : turns) {
        SCOPED_TRACE(::testing::Message() << "key " << turn.key);
        glLoadIdentity();
        press(turn.key);
        EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), rotation(turn.deg, turn.x, turn.y, turn.z), 1e-6));
        EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), identity(), 0));
        EXPECT_EQ(matrixMode(), GL_MODELVIEW);
    }
}

TEST_F(Callbacks, TurnsComposeAboutTheCubesOwnAxes)
{
    // "a" turns the picture counter-clockwise: +x moves towards +y.
    press('a');
    const Matrix m = current(GL_MODELVIEW_MATRIX);
    EXPECT_NEAR(m[1], std::sin(2 * M_PI / 180), 1e-7);

    glLoadIdentity();
    press('a', 180);
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), identity(), 1e-4));

    glLoadIdentity();
    press('s', 37);
    press('x', 37);
    press('d');
    press('c');
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), identity(), 1e-5));

    // Each new turn applies in the cube's own, already turned, frame.
    glLoadIdentity();
    press('s');
    press('d');
    const Matrix sd = current(GL_MODELVIEW_MATRIX);
    EXPECT_TRUE(near(sd, multiply(rotation(2, 1, 0, 0), rotation(2, 0, 1, 0)), 1e-6));
    glLoadIdentity();
    press('d');
    press('s');
    EXPECT_FALSE(near(current(GL_MODELVIEW_MATRIX), sd, 1e-5));
}

TEST_F(Callbacks, OtherKeysChangeNoMatrixButStillRedraw)
{
    reshape(800, 600);
    press('s');
    const Matrix modelview = current(GL_MODELVIEW_MATRIX);
    const Matrix projection = current(GL_PROJECTION_MATRIX);
    for (unsigned char key : {'A', 'S', '1', ' ', '\x1b', '\r', 'q'})
        press(key);
    for (int key : {GLUT_KEY_F1, GLUT_KEY_HOME, GLUT_KEY_PAGE_UP, 0})
        specialKeys(key, 0, 0);
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), modelview, 0));
    EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), projection, 0));
    EXPECT_EQ(matrixMode(), GL_MODELVIEW);

    // Each still asks for a frame: count the frames GLUT draws once the
    // window's own first exposure has been served.
    const auto framesDrawn = [] {
        redraws = 0;
        for (int i = 0; i < 50; ++i) {
            glutMainLoopEvent();
            usleep(2000);
        }
        return redraws;
    };
    int exposures = 0;
    for (int i = 0; i < 100 && exposures == 0; ++i)
        exposures = framesDrawn();
    ASSERT_GT(exposures, 0) << "the window was never shown";
    // The window may be exposed more than once while it settles.
    int quiet = 0;
    for (int i = 0; i < 50 && quiet < 3; ++i)
        quiet = framesDrawn() == 0 ? quiet + 1 : 0;
    ASSERT_EQ(quiet, 3) << "the window keeps being redrawn";
    press('A');
    EXPECT_EQ(framesDrawn(), 1);
    specialKeys(GLUT_KEY_F1, 0, 0);
    EXPECT_EQ(framesDrawn(), 1);
}

TEST_F(Callbacks, ArrowsSlideTheProjectionUntilTheNextReshape)
{
    press('d', 10);
    const Matrix turned = current(GL_MODELVIEW_MATRIX);
    reshape(800, 600);
    const Matrix start = current(GL_PROJECTION_MATRIX);

    const struct {
        int key;
        double x, y;
    } slides[] = {{GLUT_KEY_RIGHT, 0.05, 0}, {GLUT_KEY_LEFT, -0.05, 0},
                  {GLUT_KEY_UP, 0, 0.05},    {GLUT_KEY_DOWN, 0, -0.05}};
    for (const auto &slide : slides) {
        SCOPED_TRACE(::testing::Message() << "key " << slide.key);
        reshape(800, 600);
        specialKeys(slide.key, 0, 0);
        specialKeys(slide.key, 0, 0);
        // The slide is in eye units, applied before both orthographic factors.
        EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX),
                         multiply(start, translation(2 * slide.x, 2 * slide.y)), 1e-6));
        EXPECT_EQ(matrixMode(), GL_MODELVIEW);
    }

    reshape(800, 600);
    EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), start, 0));
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), turned, 0)); // the orientation survives
}

TEST_F(Callbacks, DisplayLeavesTheMatricesAsItFoundThem)
{
    reshape(200, 150);
    press('s', 5);
    press('c', 3);
    const Matrix modelview = current(GL_MODELVIEW_MATRIX);
    const Matrix projection = current(GL_PROJECTION_MATRIX);
    GLint depthBefore = 0, depthAfter = 0;
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depthBefore);
    display();
    display();
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depthAfter);
    EXPECT_EQ(depthAfter, depthBefore);
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), modelview, 0));
    EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), projection, 0));
    EXPECT_EQ(matrixMode(), GL_MODELVIEW);
}

} // namespace
