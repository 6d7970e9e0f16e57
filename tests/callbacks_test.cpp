// The view and scene callbacks on a real GL context, checked through the
// matrices they leave behind: what the pixels of the real program cannot
// show, such as a window of zero size, the rotation step each key reads,
// the matrix mode every callback leaves, and the matrix stack.

#include "scene.h"
#include "startup.h"
#include "test_support.h"
#include "view.h"

#include <GL/glut.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>

double rotStepX, rotStepY, rotStepZ; // the start-up module's; each test sets them

namespace {

using Matrix = std::array<double, 16>; // column-major, as OpenGL keeps it

Matrix current(GLenum which)
{
    Matrix m;
    glGetDoublev(which, m.data());
    return m;
}

// Eye space to device coordinates in a window of width x height: the
// shorter side spans 2 * 2.25 * 2.25 eye units, z maps to +z/1000.
Matrix squareView(double width, double height)
{
    // clang-format off
    return {1 / (2.25 * 2.25 * std::max(width / height, 1.0)), 0, 0, 0,
            0, 1 / (2.25 * 2.25 * std::max(height / width, 1.0)), 0, 0,
            0, 0, 1 / 1000.0, 0,
            0, 0, 0, 1};
    // clang-format on
}

::testing::AssertionResult near(const Matrix &actual, const Matrix &expected, double tolerance = 1e-6)
{
    for (int i = 0; i < 16; ++i)
        if (!(std::fabs(actual[i] - expected[i]) <= tolerance))
            return ::testing::AssertionFailure() << "element " << i << " is " << actual[i] << ", not " << expected[i];
    return ::testing::AssertionSuccess();
}

class Callbacks : public ::testing::Test {
protected:
    static void SetUpTestSuite() { openTestWindow(); }
    void SetUp() override
    {
        rotStepX = rotStepY = rotStepZ = 2.0;
        reshape(800, 600);
        glLoadIdentity();
    }
    void TearDown() override
    {
        GLint mode = 0;
        glGetIntegerv(GL_MATRIX_MODE, &mode);
        EXPECT_EQ(mode, GL_MODELVIEW); // every callback leaves the modelview current
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }
    static void press(unsigned char key, int times = 1)
    {
        while (times-- > 0)
            keyboard(key, 0, 0);
    }
};

TEST_F(Callbacks, ReshapeKeepsTheCubeSquareInAnyWindowEvenAnEmptyOne)
{
    for (auto [w, h] : {std::pair{800, 600}, {600, 800}, {0, 600}, {800, 0}, {0, 0}}) {
        SCOPED_TRACE(::testing::Message() << w << " x " << h);
        specialKeys(GLUT_KEY_LEFT, 0, 0); // a slide that the reshape must drop
        reshape(w, h);
        // A collapsed side counts as one pixel, keeping the view finite.
        EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), squareView(std::max(w, 1), std::max(h, 1))));
        GLint viewport[4];
        glGetIntegerv(GL_VIEWPORT, viewport);
        EXPECT_EQ(viewport[2] * 10000 + viewport[3], w * 10000 + h);
    }
}

TEST_F(Callbacks, EachLetterKeyTurnsByItsOwnStepAboutTheCubesOwnAxis)
{
    rotStepX = 3, rotStepY = 5, rotStepZ = 6; // distinct, so a mixed-up step shows
    // A quarter turn about the cube's x, then its y, then its z axis, each
    // about the axes as the turns before left them: its x axis ends up
    // pointing out of the screen, its y axis down and its z axis right.
    press('s', 30), press('d', 18), press('a', 15);
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), {0, 0, 1, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1}, 1e-5));
    press('z', 15), press('c', 18), press('x', 30); // back again
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, 1e-5));
    EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), squareView(800, 600)));
}

TEST_F(Callbacks, SpecialKeysAndFramesLeaveTheModelviewAsItWas)
{
    press('c', 10);
    const Matrix turned = current(GL_MODELVIEW_MATRIX);
    for (int key : {GLUT_KEY_RIGHT, GLUT_KEY_F1, GLUT_KEY_HOME}) // a slide, and keys that slide nothing
        specialKeys(key, 0, 0);
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), turned, 1e-4));
    const Matrix slid = current(GL_PROJECTION_MATRIX);
    EXPECT_NEAR(slid[12], 0.05 * slid[0], 1e-6); // one slide, not three

    GLint depth = 0;
    for (int frames = 0; frames < 40; ++frames) // more frames than the matrix stack is deep
        display();
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depth);
    EXPECT_EQ(depth, 1);
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), turned, 1e-4));
    EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), slid));
}

} // namespace
