#pragma once

// The viewer's decoding children, one a slot: let go a few at a time,
// waited for, stopped when stuck, and reaped.

#include "loader/face_loader.h"
#include "loader/viewer_side/watchdog.h"

#include <sys/types.h>

#include <vector>

struct Decode {
    pid_t pid = 0;   // 0: no child
    int pidfd = -1;  // readable once the child has ended
    int result = -1; // the file the child writes its result to
    int go = -1;     // written to let the child start; -1 once it has been
    Watch watch;     // what the watchdog saw of it, since it was let go
};
extern Decode decodes[faceSlots];

long nowMs();

// Closes `fd` if open and sets it to -1.
void closeAndClear(int &fd);

// Moves a descriptor above those a child keeps (0 to 4), so that the child
// can put its own in place without losing one; -1 stays -1.
int aboveChildDescriptors(int fd);

// Whether the child has ended, waiting up to `waitMs` for it.
bool ended(const Decode &decode, int waitMs);

// Whether the child has been let go and has not ended yet.
bool decodingNow(const Decode &decode);

// Lets the next children waiting, in slot order, start decoding, as long
// as only a few are under way; or `slot` itself whatever the count.
void letGo(int slot = -1);

// Waits up to `waitMs` for any child under way to end.
void awaitAnyEnd(int waitMs);

// Collects an ended child, unless somebody else's handler already has, and
// lets go of it; its result file stays.
void reap(int slot, Decode &decode);

// Ends the decodes of the children in `slots`, which are stuck; their faces
// stay white, and their result files are closed.
void stop(const std::vector<int> &slots);

// Once no decode is under way: leaves children killed but still dying to
// the kernel to reap, so that none is ever waited for.
void leaveTheDying();
