#pragma once

// View module: the projection and the keyboard controls.
//
// Controls:
//   a / z        turn the cube about its own z axis (counter-clockwise / clockwise)
//   s / x        turn it about its own x axis
//   d / c        turn it about its own y axis
//   arrow keys   slide the picture; resizing the window puts it back
// Each press turns by 2 degrees or slides by 0.05 eye units.

// GLUT reshape callback: viewport over the whole window, square orthographic view.
void reshape(int width, int height);

// GLUT keyboard callback: the six rotation keys.
void keyboard(unsigned char key, int x, int y);

// GLUT special-key callback: the four arrow keys.
void specialKeys(int key, int x, int y);
