#pragma once

// Waits with a bound on a hang: far longer than any of them takes, even on a
// loaded machine, so that what never ends fails its test, by name, instead of
// holding up the run. Under emulation, CUBEVIEW_SLOWDOWN=N makes it N times
// as long (and the loader's tests give the decoding children N times their
// processor limits).

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

inline const long slowdown =
    std::max(1L, std::getenv("CUBEVIEW_SLOWDOWN") ? std::atol(std::getenv("CUBEVIEW_SLOWDOWN")) : 1);
constexpr long hangSeconds = 120;
inline const std::chrono::seconds hangLimit{hangSeconds * slowdown};

// True once `done()` holds, looked at every millisecond; false if it still
// does not after hangLimit.
template <typename Done> bool within(Done done)
{
    const auto end = std::chrono::steady_clock::now() + hangLimit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        usleep(1000);
    }
    return true;
}

// wait4(pid, status, 0, usage) for at most hangLimit: 0 if nothing ended by
// then, and `pid`, if one is given, is killed and reaped.
inline pid_t waitBounded(pid_t pid, int *status, rusage *usage = nullptr)
{
    pid_t ended = 0;
    if (!within([&] { return (ended = wait4(pid, status, WNOHANG, usage)) != 0; }) && pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return ended;
}
