#pragma once

// The files the children leave their pictures in: made before each child
// is forked, checked once it has ended, and uploaded.

#include <GL/gl.h>

// A file for a child's result, numbered above the child's own descriptors;
// -1 if none can be had.
int newResultFile();

// Checks a child's result and uploads it. 0 if anything is off.
GLuint upload(int result);
