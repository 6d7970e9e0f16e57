// Loads each picture named on the command line through the face loader this
// program is built with, and prints one line per picture: the texture's
// size, internal format and a checksum of its pixels, or "white".

#include "face_loader.h"
#include "test_support.h"

#include <cstdint>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    openTestWindow();
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    for (int i = 1; i < argc; ++i) {
        startFaceLoad(0, argv[i]);
        const GLuint texture = finishFaceLoad(0);
        if (!texture) {
            std::printf("white\n");
            continue;
        }
        GLint width = 0, height = 0, format = 0;
        glBindTexture(GL_TEXTURE_2D, texture);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
        std::vector<unsigned char> pixels(size_t(width) * size_t(height) * 4);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        std::uint64_t hash = 14695981039346656037ULL; // FNV-1a
        for (unsigned char byte : pixels)
            hash = (hash ^ byte) * 1099511628211ULL;
        std::printf("%d x %d, format %#x, pixels %016llx\n", width, height, unsigned(format),
                    static_cast<unsigned long long>(hash));
        glDeleteTextures(1, &texture);
    }
    return 0;
}
