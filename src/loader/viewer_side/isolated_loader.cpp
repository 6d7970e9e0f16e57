// Face pictures decoded in processes of their own, so that no picture
// file, however malformed or hostile, can crash, hang or exhaust the viewer.
//
// This is the viewer's side. Each slot's picture is decoded by SOIL in a
// decoder program of its own (../decoder/), which the viewer starts with
// nothing of its own but the picture's path and the result file, under
// limits derived from one budget of decoded bytes. Only a few decode at a
// time, in slot order, so that each upload overlaps the decodes still
// running and memory stays near what loading in-process takes; each that
// ends lets the next one start, and one that is stuck is stopped
// (decoders.cpp, watchdog.cpp). A decoder hands width, height, channels and
// pixels back in a file; the viewer checks what comes back and only then
// uploads it (results.cpp). Nothing is ever decoded in the viewer's own
// process.

#include "loader/face_loader.h"
#include "loader/viewer_side/decoders.h"
#include "loader/viewer_side/results.h"

#include <unistd.h>

void startFaceLoad(int slot, const char *path) { queueDecode(slot, path); }

GLuint finishFaceLoad(int slot)
{
    const int result = takeResult(slot);
    const GLuint texture = result >= 0 ? upload(result) : 0;
    if (result >= 0)
        close(result);
    if (!anyDecodeUnderWay())
        leaveTheDying();
    return texture;
}
