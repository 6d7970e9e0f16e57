#pragma once

// Refused system calls, for the tests that put a process in an odd state.

#include <seccomp.h>

#include <cerrno>

#include <vector>

struct Refusal {
    const char *call;
    int error;
    long first = -1; // only where the first argument is this; any if -1
};

// Makes the calls refuse with their error in this process and its
// children, for good. False if the filter could not be loaded.
inline bool refuse(const std::vector<Refusal> &refusals)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    for (const Refusal &r : refusals) {
        const scmp_arg_cmp first = {0, SCMP_CMP_EQ, scmp_datum_t(r.first), 0};
        seccomp_rule_add_array(filter, SCMP_ACT_ERRNO(unsigned(r.error)), seccomp_syscall_resolve_name(r.call),
                               r.first < 0 ? 0 : 1, &first);
    }
    const bool loaded = seccomp_load(filter) == 0;
    seccomp_release(filter);
    return loaded;
}

// What clock_getcpuclockid asks, to refuse a processor clock of another
// process: clock_getres, or clock_getres_time64 on 32-bit systems with a
// 64-bit time_t (a name other systems do not have is left out).
inline const std::vector<Refusal> noProcessorClocks = {{"clock_getres", EPERM}, {"clock_getres_time64", EPERM}};
