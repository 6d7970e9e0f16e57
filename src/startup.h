#pragma once

// Start-up module: the entry point, the idle callback and the rotation steps.

// Degrees turned per letter-key press about the cube's own x, y and z axes.
// Set once at start-up, read by the keyboard callback.
extern double rotStepX;
extern double rotStepY;
extern double rotStepZ;

void idle();
