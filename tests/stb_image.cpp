// stb_image and stb_image_write, which stand in for SOIL in the decoding
// child's tests: built on their own, less optimised than the rest, and left
// out of clang-tidy's checks, for they are not this project's code.

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>
