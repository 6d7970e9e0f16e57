#include "loader/viewer_side/results.h"

#include "loader/shared/decode_limits.h"
#include "loader/shared/result.h"

#include <SOIL/SOIL.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>

// A memory file, or an unlinked temporary file where memory files are refused.
int newResultFile()
{
    int fd = memfd_create("face", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    for (const char *dir : {"/dev/shm", "/tmp"})
        if (fd < 0)
            fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    return fd;
}

GLuint upload(int result)
{
    // Sealed where it can be (a memory file), the file can no longer change
    // under the mapping below; an unlinked temporary file could be changed
    // only by the decoder that wrote it, which has ended.
    fcntl(result, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE);
    struct stat info = {};
    DecodedHeader header{};
    if (fstat(result, &info) != 0 || info.st_size < off_t(sizeof header) ||
        pread(result, &header, sizeof header, 0) != ssize_t(sizeof header) || header.magic != decodedMagic)
        return 0;
    const std::uint64_t pixelBytes = plausiblePixelBytes(header);
    if (pixelBytes == 0 || std::uint64_t(info.st_size) != sizeof header + pixelBytes)
        return 0;
    const size_t size = size_t(info.st_size);
    void *bytes = mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, result, 0);
    if (bytes == MAP_FAILED)
        return 0;
    // The decoder has turned the rows already. SOIL_FLAG_INVERT_Y turns them
    // first thing, before anything else SOIL does to them, so the texture
    // is the same. A side above GL_MAX_TEXTURE_SIZE is shrunk here by SOIL,
    // as it would be after an in-process decode.
    const GLuint texture = SOIL_create_OGL_texture(static_cast<const unsigned char *>(bytes) + sizeof header,
                                                   header.width, header.height, header.channels, SOIL_CREATE_NEW_ID, 0);
    munmap(bytes, size);
    return texture;
}
