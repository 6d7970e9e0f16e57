#pragma once

// Scene module: the six face textures and the drawing of the cube.

#include <GL/gl.h>

// Texture names of the six face pictures, slot i from Data/cube<i+1>.bmp;
// 0 where a picture did not load, which draws that face plain white.
extern GLuint faceTexture[6];

// Starts loading the six face pictures. Needs no GL context, so it may run
// before the window opens.
void startFaceLoads();

// Loads the six face pictures into faceTexture, in slot order, starting
// any decode not yet started. Needs a current GL context.
void loadFaceTextures();

// GLUT display callback: clears, draws the six faces, swaps buffers.
void display();
