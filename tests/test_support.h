#pragma once

// Shared by the tests that need a GL context of their own.

#include <GL/glut.h>

// A small GLUT window for its GL context, placed clear of where the viewer
// opens its own.
inline void openTestWindow()
{
    int argc = 1;
    char name[] = "cubeview test", *argv[] = {name, nullptr};
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(200, 150);
    glutInitWindowPosition(1800, 1300);
    glutCreateWindow("cubeview test");
}
