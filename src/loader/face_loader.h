#pragma once

// Turns the six face pictures into textures. The build picks one of two
// loaders behind these functions: on Linux each picture is decoded by a
// decoder program of its own (viewer_side/, decoder/ and shared/ here);
// elsewhere SOIL loads it in this process (inprocess.cpp). Either way the
// texture is the one SOIL_load_OGL_texture(path, SOIL_LOAD_AUTO,
// SOIL_CREATE_NEW_ID, SOIL_FLAG_INVERT_Y) makes.

#include <GL/gl.h>

const int faceSlots = 6;

// Starts loading the picture at `path` for `slot` (0 to 5). Needs no GL
// context, so it may run before the window opens. Does nothing if that
// slot's load is already under way.
void startFaceLoad(int slot, const char *path);

// The slot's texture, or 0 if its picture could not be had. Needs a
// current GL context; ends the slot's load.
GLuint finishFaceLoad(int slot);
