// Plain in-process loading: each picture is read and decoded here, one
// after another in slot order (inprocess.h).

#include "loader/face_loader.h"
#include "loader/inprocess.h"

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
    const GLuint texture = loadInProcess(paths[slot].c_str());
    paths[slot].clear();
    return texture;
}
