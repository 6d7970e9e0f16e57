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
    rotStepX = 3, rotStepY = 5, rotStepZ = 7; // distinct, so a mixed-up step shows
    // Key, then the element of the matrix holding the turn's sine, and the angle.
    const struct {
        unsigned char key;
        int sine;
        double degrees;
    } turns[] = {{'a', 1, 7}, {'z', 1, -7}, {'s', 6, 3}, {'x', 6, -3}, {'d', 8, 5}, {'c', 8, -5}};
    for (const auto &turn : turns) {
        SCOPED_TRACE(turn.key);
        glLoadIdentity();
        press(turn.key);
        const Matrix m = current(GL_MODELVIEW_MATRIX);
        EXPECT_NEAR(m[turn.sine], std::sin(turn.degrees * M_PI / 180), 1e-7);
        EXPECT_NEAR(m[0] + m[5] + m[10], 1 + 2 * std::cos(turn.degrees * M_PI / 180), 1e-7);
    }
    EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), squareView(800, 600)));

    // Each turn applies in the frame the earlier ones left: order matters.
    rotStepX = rotStepY = rotStepZ = 2;
    glLoadIdentity();
    press('s', 45);
    press('d', 45);
    EXPECT_NEAR(current(GL_MODELVIEW_MATRIX)[2 * 4 + 0], 1, 1e-5); // the cube's z axis points right
    glLoadIdentity();
    press('d', 45);
    press('s', 45);
    EXPECT_NEAR(current(GL_MODELVIEW_MATRIX)[2 * 4 + 1], -1, 1e-5); // here it points down
}

TEST_F(Callbacks, SpecialKeysAndFramesLeaveTheModelviewAsItWas)
{
    press('c', 10);
    const Matrix turned = current(GL_MODELVIEW_MATRIX);
    for (int key : {GLUT_KEY_RIGHT, GLUT_KEY_F1, GLUT_KEY_HOME}) // a slide, and keys that slide nothing
        specialKeys(key, 0, 0);
    press('a', 180); // a whole turn, about the modelview again
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), turned, 1e-4));
    Matrix slid = squareView(800, 600);
    slid[12] = 0.05 * slid[0];
    EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), slid));

    GLint depth = 0;
    for (int frames = 0; frames < 40; ++frames) // more frames than the matrix stack is deep
        display();
    glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &depth);
    EXPECT_EQ(depth, 1);
    EXPECT_TRUE(near(current(GL_MODELVIEW_MATRIX), turned, 1e-4));
    EXPECT_TRUE(near(current(GL_PROJECTION_MATRIX), slid));
}

} // namespace
