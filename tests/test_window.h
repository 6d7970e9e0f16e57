#pragma once

// A small GLUT window whose GL context the in-process tests use, placed
// clear of where the viewer opens its own.

#include <GL/glut.h>

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
