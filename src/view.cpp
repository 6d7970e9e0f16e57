// The view: an orthographic projection that keeps the cube square, the
// rotation keys (orientation lives in the modelview matrix) and the arrow
// keys (the slide lives in the projection matrix until the next reshape).

#include "view.h"

#include "startup.h"

#include <GL/glu.h>
#include <GL/glut.h>

void reshape(int width, int height)
{
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glViewport(0, 0, width, height);

    // Two orthographic factors: a point passes the aspect-corrected box below
    // first and this one second. Together they map eye z to +z/1000, so the
    // surface farther from the viewer gets the smaller depth.
    gluOrtho2D(-2.25, 2.25, -2.25, 2.25);

    // A collapsed window reports a zero side; it counts as one pixel so the
    // box stays finite until the next real size arrives.
    const double w = width > 0 ? width : 1;
    const double h = height > 0 ? height : 1;
    if (w <= h)
        glOrtho(-2.25, 2.25, -2.25 * h / w, 2.25 * h / w, -1000.0, 1000.0);
    else
        glOrtho(-2.25 * w / h, 2.25 * w / h, -2.25, 2.25, -1000.0, 1000.0);

    glMatrixMode(GL_MODELVIEW);
}

// Turns multiply the modelview on the right, so each press turns the cube
// about its own axes as already turned. Other keys only redraw.
void keyboard(unsigned char key, int, int)
{
    switch (key) {
    case 'a': glRotatef(static_cast<GLfloat>(rotStepZ), 0, 0, 1); break;
    case 'z': glRotatef(static_cast<GLfloat>(rotStepZ), 0, 0, -1); break;
    case 's': glRotatef(static_cast<GLfloat>(rotStepX), 1, 0, 0); break;
    case 'x': glRotatef(static_cast<GLfloat>(rotStepX), -1, 0, 0); break;
    case 'd': glRotatef(static_cast<GLfloat>(rotStepY), 0, 1, 0); break;
    case 'c': glRotatef(static_cast<GLfloat>(rotStepY), 0, -1, 0); break;
    default: break;
    }
    glutPostRedisplay();
}

// Slides accumulate in the projection, after its two orthographic factors.
void specialKeys(int key, int, int)
{
    const GLfloat step = 0.05f;
    glMatrixMode(GL_PROJECTION);
    switch (key) {
    case GLUT_KEY_LEFT: glTranslatef(-step, 0, 0); break;
    case GLUT_KEY_UP: glTranslatef(0, step, 0); break;
    case GLUT_KEY_RIGHT: glTranslatef(step, 0, 0); break;
    case GLUT_KEY_DOWN: glTranslatef(0, -step, 0); break;
    default: break;
    }
    glMatrixMode(GL_MODELVIEW);
    glutPostRedisplay();
}
