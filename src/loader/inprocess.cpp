// Plain in-process loading: SOIL reads and decodes each picture here, one
// after another in slot order.

#include "loader/face_loader.h"

#include <SOIL/SOIL.h>

#include <filesystem>
#include <string>

namespace {

std::string paths[faceSlots]; // empty: no load under way

} // namespace

void startFaceLoad(int slot, const char *path)
{
    if (paths[slot].empty())
        paths[slot] = path;
}

GLuint finishFaceLoad(int slot)
{
    if (paths[slot].empty())
        return 0;
    // Only a regular file: opening a FIFO would wait for a writer for ever.
    std::error_code error;
    const GLuint texture =
        std::filesystem::is_regular_file(paths[slot], error)
            ? SOIL_load_OGL_texture(paths[slot].c_str(), SOIL_LOAD_AUTO, SOIL_CREATE_NEW_ID, SOIL_FLAG_INVERT_Y)
            : 0;
    paths[slot].clear();
    return texture;
}
