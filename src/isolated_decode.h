#pragma once

// Decoding of face pictures in child processes, so that no picture file,
// however malformed or hostile, can crash, hang or exhaust the viewer.
//
// Each slot's picture is decoded by SOIL in a child process of its own under
// limits on address space, CPU time and wall time; the child hands width,
// height, channels and pixels back through a memory file. The viewer checks
// what comes back and only then uploads it with SOIL. The decodes of all
// slots run in parallel and need no GL context, so they may start before
// the window exists; the uploads need a current context.

#include <GL/gl.h>

const int decodeSlots = 6;

// Forks the child that decodes `path` for `slot`. Needs no GL context.
// Does nothing if that slot's decode is already under way.
void startIsolatedDecode(int slot, const char *path);

// Waits for the slot's child (killing it once its time is up), checks its
// result and uploads it as a new texture, exactly as SOIL_load_OGL_texture
// does after decoding (SOIL_FLAG_INVERT_Y). Returns the texture name, or 0
// if the picture could not be had safely. Needs a current GL context.
GLuint textureFromIsolatedDecode(int slot);
