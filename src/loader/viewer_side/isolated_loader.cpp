// Face pictures decoded in child processes, so that no picture file, however
// malformed or hostile, can crash, hang or exhaust the viewer.
//
// This is the viewer's side. Each slot's picture is decoded by SOIL in a
// child process of its own (child_side/decode_child.cpp), under limits
// derived from one budget of decoded bytes. The children are forked at once,
// but only a few decode at a time, in slot order (children.cpp), so that
// each upload overlaps the decodes still running and memory stays near what
// loading in-process takes; each child that ends lets the next one start,
// and one that is stuck is stopped (watchdog.cpp). A child hands width,
// height, channels and pixels back in a file; the viewer checks what comes
// back and only then uploads it (results.cpp). Nothing is ever decoded in
// the viewer's own process.

#include "loader/child_side/decode_child.h"
#include "loader/child_side/sandbox.h"
#include "loader/face_loader.h"
#include "loader/shared/result.h"
#include "loader/shared/seams.h"
#include "loader/viewer_side/children.h"
#include "loader/viewer_side/loading_heap.h"
#include "loader/viewer_side/results.h"
#include "loader/viewer_side/watchdog.h"

#include <SOIL/stb_image_aug.h>

#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// How often the children are looked at while the viewer waits for one.
const int watchMs = 250;

bool loading = false; // the viewer's heap is set for loading

// Once no decode is under way, the heap goes back to its usual settings.
void endOfLoading()
{
    for (const Decode &decode : decodes)
        if (decode.pid != 0)
            return;
    if (loading)
        leaveLoadingHeap();
    loading = false;
    leaveTheDying();
}

} // namespace

void startFaceLoad(int slot, const char *path)
{
    Decode &decode = decodes[slot];
    if (decode.pid != 0)
        return;
    decode.result = newResultFile();
    decode.go = aboveChildDescriptors(eventfd(0, EFD_CLOEXEC));
    prepareDecodeSandbox(resultFd);
    pid_t pid = -1;
    if (decode.result >= 0 && decode.go >= 0) {
        const pid_t viewer = getpid();
        pid = fork();
        if (pid < 0)
            pid = fork(); // refused once, under a passing shortage: one more try
        if (pid == 0)
            decodeInChild(slot, path, decode.result, decode.go, viewer, stbi_load_from_file);
    }
    if (pid < 0) {
        closeAndClear(decode.result);
        closeAndClear(decode.go);
        return;
    }
    decode.pid = pid;
    decode.pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    letGo();
}

GLuint finishFaceLoad(int slot)
{
    Decode &decode = decodes[slot];
    if (decode.pid != 0 && !loading) {
        useLoadingHeap();
        loading = true;
    }
    if (decode.pid != 0 && decode.go >= 0)
        letGo(slot); // asked for out of order: it goes now
    GLuint texture = 0;
    // Each child that ends lets the next one start.
    while (decode.pid != 0 && !ended(decode, 0)) {
        awaitAnyEnd(decodeHooks.watchMs > 0 ? decodeHooks.watchMs : watchMs);
        letGo();
        watchChildren();
    }
    if (decode.pid != 0) {
        reap(slot, decode);
        letGo(); // the next decode runs while this one uploads
        texture = upload(decode.result);
    }
    closeAndClear(decode.result);
    endOfLoading();
    return texture;
}
