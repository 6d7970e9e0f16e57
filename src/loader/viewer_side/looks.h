#pragma once

// What the kernel shows of a decoder from outside, for the watchdog
// (watchdog.h): its processor clock, /proc/PID/stat and /proc/PID/smaps.

#include "loader/viewer_side/watchdog.h"

#include <sys/types.h>

// Looks at the decoder `pid`, whose result file the viewer holds as
// `result`, at `nowMs`: all but the memory it touched.
Look lookAt(pid_t pid, int result, long nowMs);

// The memory the decoder `pid` has touched since this was last asked of it
// (or since it started), in KiB; empty if that cannot be read. A pass over
// memory it holds already leaves no trace, but shows here.
std::optional<std::int64_t> touchedKiB(pid_t pid);
