// The start-up benchmark's floor: the in-process loader, where every face
// file already holds decoded pixels (width, height and channels as 32-bit
// ints, then the rows, bottom first), so that the viewer starts with
// nothing left to decode and uploads them as the isolated loader uploads a
// decoder's result. Not a viewer for users.

#include "loader/inprocess.h"

#include <SOIL/SOIL.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

GLuint loadInProcess(const char *path)
{
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    struct stat info = {};
    if (file < 0 || fstat(file, &info) != 0 || info.st_size < 12) {
        if (file >= 0)
            close(file);
        return 0;
    }
    void *bytes = mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE, file, 0);
    close(file);
    if (bytes == MAP_FAILED)
        return 0;
    const auto *sizes = static_cast<const std::int32_t *>(bytes);
    const GLuint texture = SOIL_create_OGL_texture(static_cast<const unsigned char *>(bytes) + 12, sizes[0], sizes[1],
                                                   sizes[2], SOIL_CREATE_NEW_ID, 0);
    munmap(bytes, size_t(info.st_size));
    return texture;
}
