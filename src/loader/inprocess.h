#pragma once

// What the in-process loader does with each picture, in slot order: the
// viewer's loads it with SOIL (soil_load.cpp); the benchmark's floor
// uploads a picture decoded beforehand.

#include <GL/gl.h>

// The texture made of the picture at `path`, or 0.
GLuint loadInProcess(const char *path);
