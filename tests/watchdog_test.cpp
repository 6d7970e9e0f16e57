// The watchdog's rule on made-up looks, one case a row: a decoder looked at
// every 250 ms, as the viewer looks, from its start until the rule finds it
// stuck, or for 25 s. What the kernel really shows of decoders is tested
// on real ones, in face_loader_test.cpp.

#include "loader/viewer_side/watchdog.h"

#include <gtest/gtest.h>

namespace {

const std::int64_t ms = 1000000; // in ns

// A trace that does not move, or one whose `field` grows by `by` a look.
Trace steady(int i = 0, std::uint64_t Trace::*field = nullptr, std::uint64_t by = 0)
{
    Trace trace = {100, 0, 1 << 20, 50, 0};
    if (field)
        trace.*field += by * std::uint64_t(i);
    return trace;
}

// The i-th look, i from 1, at i * 250 ms: its processor time grows as fast
// (busy) or stays at 50 ms, or cannot be read (no clock); runnable or not,
// with the touched memory and the trace given.
enum Clock : std::uint8_t { busy, idle, noClock };
Look look(int i, Clock clock, std::optional<bool> runnable, std::optional<std::int64_t> touchedKiB,
          std::optional<Trace> trace = steady())
{
    Look look;
    look.atMs = 250L * i;
    if (clock != noClock)
        look.cpuNs = clock == busy ? 250 * ms * i : 50 * ms;
    look.runnable = runnable;
    look.trace = trace;
    look.touchedKiB = touchedKiB;
    return look;
}
const std::optional<std::int64_t> unread;
std::optional<std::int64_t> readFrom(int i, int first) { return i < first ? unread : 0; }
std::optional<std::int64_t> readUntil(int i, int last) { return i <= last ? std::optional<std::int64_t>(0) : unread; }

struct Case {
    const char *name;
    Look (*at)(int i);
    int stuckAt; // the first look that finds it stuck; 0 for none
};

const Case cases[] = {
    {"busy, holding more pages each look",
     [](int i) { return look(i, busy, true, 0, steady(i, &Trace::heldPages, 1)); }, 0},
    {"busy, writing its result", [](int i) { return look(i, busy, true, 0, steady(i, &Trace::resultBytes, 4096)); }, 0},
    {"busy, going over memory it holds", [](int i) { return look(i, busy, true, 4096); }, 0},
    // Quiet from the first look, at 250 ms of processor time: 2 s more at the ninth.
    {"busy in registers, touching nothing", [](int i) { return look(i, busy, true, 0); }, 9},
    {"busy in registers, as on ARM: a minor fault and a page touched each look",
     [](int i) { return look(i, busy, true, 4, steady(i, &Trace::minorFaults, 1)); }, 9},
    {"busy, its touched memory unread: never judged busy", [](int i) { return look(i, busy, true, unread); }, 0},
    {"busy in registers, its touched memory unread from the ninth look",
     [](int i) { return look(i, busy, true, readUntil(i, 8)); }, 0},
    // Quiet from the eighth look, the last unread: 2 s more at the sixteenth.
    {"busy in registers, its touched memory read from the ninth look",
     [](int i) { return look(i, busy, true, readFrom(i, 9)); }, 16},
    {"starved by a busy machine: no processor time, but runnable", [](int i) { return look(i, idle, true, 0); }, 0},
    {"starved, without a processor clock", [](int i) { return look(i, noClock, true, 0); }, 0},
    // Last seen making progress at the first look: 2 s later at the ninth.
    {"asleep: no processor time, not runnable", [](int i) { return look(i, idle, false, 0); }, 9},
    {"asleep, without a processor clock", [](int i) { return look(i, noClock, false, 0); }, 8},
    {"asleep, seen through its processor clock alone", [](int i) { return look(i, idle, {}, unread, {}); }, 9},
    {"seen asleep at each look without a processor clock, but faulting in between, its touched memory unread",
     [](int i) { return look(i, noClock, false, unread, steady(i, &Trace::minorFaults, 1)); }, 0},
    {"asleep, but its result grows",
     [](int i) { return look(i, idle, false, 0, steady(i, &Trace::resultBytes, 4096)); }, 0},
    // Four times a processor limit of 1 s.
    {"nothing to be seen", [](int i) { return look(i, noClock, {}, unread, {}); }, 16},
};

TEST(Watchdog, TellsAStuckDecoderFromOneAtWorkOrStarved)
{
    for (const Case &c : cases) {
        Seen seen;
        int stuckAt = 0;
        for (int i = 1; i <= 100 && !stuckAt; ++i) {
            Look now = c.at(i);
            if (!touchedWorthReading(seen, now)) // as the viewer does: not read then
                now.touchedKiB.reset();
            const Verdict verdict = judge(seen, now, 1);
            seen = verdict.seen;
            stuckAt = verdict.stuck ? i : 0;
        }
        EXPECT_EQ(stuckAt, c.stuckAt) << c.name;
    }
}

} // namespace
