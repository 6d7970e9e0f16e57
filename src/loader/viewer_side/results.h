#pragma once

// The files the decoders leave their pictures in: made before each decoder
// starts, checked once it has ended, and uploaded.

#include <GL/gl.h>

// A file for a decoder's result; -1 if none can be had.
int newResultFile();

// Checks a decoder's result and uploads it. 0 if anything is off.
GLuint upload(int result);
