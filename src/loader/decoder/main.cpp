// cubeview-decode: the program the viewer starts for each face picture,
// decoding it with SOIL's own reader (decoder.h).

#include "loader/decoder/decoder.h"

#include <SOIL/stb_image_aug.h>

int main(int argc, char **argv) { runDecoder(argc, argv, stbi_load_from_file); }
