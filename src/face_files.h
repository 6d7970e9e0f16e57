#pragma once

// Where the six face pictures live, relative to the working directory.
// Windows builds keep the backslash names; every other host uses "/".
#ifdef _WIN32
#define FACE_DIR "Data\\"
#else
#define FACE_DIR "Data/"
#endif

static const char *const faceFiles[6] = {
    FACE_DIR "cube1.bmp", // front
    FACE_DIR "cube2.bmp", // top
    FACE_DIR "cube3.bmp", // right
    FACE_DIR "cube4.bmp", // left
    FACE_DIR "cube5.bmp", // bottom
    FACE_DIR "cube6.bmp", // back
};
