#include "loader/inprocess.h"

#include <SOIL/SOIL.h>

#include <filesystem>

GLuint loadInProcess(const char *path)
{
    // Only a regular file: opening a FIFO would wait for a writer for ever.
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return 0;
    return SOIL_load_OGL_texture(path, SOIL_LOAD_AUTO, SOIL_CREATE_NEW_ID, SOIL_FLAG_INVERT_Y);
}
