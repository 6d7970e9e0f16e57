// Decodes a picture with SOIL in this process, as a plain viewer's
// SOIL_load_OGL_texture does, and writes its pixels to /dev/null, so that
// valgrind sees every byte of them used: tests/damaged_under_valgrind.sh
// runs it.

#include <SOIL/SOIL.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    // Left as SOIL_load_OGL_texture leaves its own: SOIL's HDR path reads
    // them when the decoder gives up before it has set them.
    int width, height, channels;
    unsigned char *pixels = SOIL_load_image(argv[1], &width, &height, &channels, SOIL_LOAD_AUTO);
    if (!pixels)
        return 0;
    const size_t bytes = size_t(width) * size_t(height) * size_t(channels);
    return write(open("/dev/null", O_WRONLY | O_CLOEXEC), pixels, bytes) != ssize_t(bytes);
}
