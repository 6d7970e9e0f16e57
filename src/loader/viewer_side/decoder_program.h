#pragma once

// The decoder program: where the viewer finds it, and how it starts one.

#include <sys/types.h>

#include <string>

// The viewer's own decoder: cubeview-decode in libexec/cubeview/ beside the
// bin/ folder that holds the viewer's executable, its links resolved; so in
// the build folder as once installed. "" if that folder cannot be had.
const std::string &installedDecoder();

// Starts `program` for the picture at `picture` with the limits now in
// force (decode_limits.h), and `behaviour` as one argument more if not
// null: in an empty environment, every signal at its default and none
// blocked, /dev/null on descriptors 0 to 2, `result` on 3, and nothing
// else open. Its process id, or -1 if it cannot be started.
pid_t startDecoder(const std::string &program, const std::string &picture, int result, const char *behaviour);
