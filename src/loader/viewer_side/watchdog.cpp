#include "loader/viewer_side/watchdog.h"

namespace {

// Whether what the decoder holds or has written moved: its major faults,
// the pages it maps and holds, or its result.
bool traceMoved(const Seen &seen, const Look &look)
{
    if (!seen.trace || !look.trace)
        return false;
    const Trace &before = *seen.trace, &now = *look.trace;
    return now.majorFaults != before.majorFaults || now.mappedBytes != before.mappedBytes ||
           now.heldPages != before.heldPages || now.resultBytes != before.resultBytes;
}

// Minor faults count only where the touched memory cannot be read. Where
// the architecture marks pages referenced in software (32-bit ARM, and
// 64-bit ARM before v8.1), the first touch of a page after the count of
// touched memory started over is a minor fault, and a decoder spinning in
// registers takes one a look.
bool leftTrace(const Seen &seen, const Look &look)
{
    if (traceMoved(seen, look))
        return true;
    if (look.touchedKiB)
        return *look.touchedKiB > busyKiB;
    return seen.trace && look.trace && look.trace->minorFaults != seen.trace->minorFaults;
}

// Busy without a trace for too long: judged only where the memory it
// touches can be read.
bool quietTooLong(const Seen &seen, const Look &look, bool traced)
{
    return !traced && look.touchedKiB && look.cpuNs && seen.quietFromNs &&
           *look.cpuNs - *seen.quietFromNs >= std::int64_t(quietCpuMs) * 1000000;
}

} // namespace

bool touchedWorthReading(const Seen &seen, const Look &look) { return !traceMoved(seen, look); }

Verdict judge(const Seen &seen, const Look &look, std::uint64_t cpuLimitSeconds)
{
    const bool traced = leftTrace(seen, look);
    Verdict verdict = {false, traced, seen};
    Seen &next = verdict.seen;
    next.trace = look.trace;
    if (look.cpuNs && (traced || !look.touchedKiB || !seen.quietFromNs))
        next.quietFromNs = look.cpuNs;
    // Gaining processor time, or able to: a decoder starved by a busy
    // machine gains none, but is runnable.
    const bool progressing = look.cpuNs != seen.cpuNs || look.runnable.value_or(false) || traced;
    if (progressing)
        next.cpuNs = look.cpuNs, next.progressMs = look.atMs;
    if (!look.cpuNs && !look.runnable) // nothing to see progress by
        verdict.stuck = look.atMs - seen.startedMs >= long(unseenFactor * cpuLimitSeconds * 1000);
    else
        verdict.stuck = quietTooLong(seen, look, traced) || (!progressing && look.atMs - seen.progressMs >= stallMs);
    return verdict;
}
