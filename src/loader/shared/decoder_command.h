#pragma once

// How the viewer starts its decoder program, one for each picture:
//
//     cubeview-decode VIEWER BUDGET SLOWDOWN PICTURE
//
// VIEWER is the viewer's process id, which the decoder checks is still its
// parent; BUDGET and SLOWDOWN are what setDecodeBudget and setDecodeSlowdown
// take (decode_limits.h), from which the decoder derives its limits; PICTURE
// is the path of the picture, relative to the working directory they share.
// The tests' build of the program takes one argument more: its behaviour.

const int viewerArgument = 1, budgetArgument = 2, slowdownArgument = 3, pictureArgument = 4;
const int decoderArguments = 5; // the program's name and these
