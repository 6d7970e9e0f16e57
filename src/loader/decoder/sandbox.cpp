#include "loader/decoder/sandbox.h"

#include "loader/shared/result.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

// What a rule asks of a call's arguments: for mmap, memory that is new and
// cannot run code; for pwrite, the result file.
const scmp_arg_cmp newMemory[] = {{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0},
                                  {3, SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, MAP_ANONYMOUS}};
const scmp_arg_cmp toResult[] = {{0, SCMP_CMP_EQ, scmp_datum_t(resultFd), 0}};

// What a decoder may still do: the calls traced in decoders over pictures
// of every kind SOIL reads, good and damaged, once their filter was in
// force, on 64-bit and 32-bit x86 and ARM (docs/loader.md). Everything else
// kills it. Every name here is known to libseccomp on every architecture; a
// call the architecture lacks is left out by the preprocessor, so that no
// rule can be refused.
struct Allowed {
    int call;
    unsigned tests;
    const scmp_arg_cmp *test;
};
const Allowed allowed[] = {
    // Memory for the decoder's buffers.
    {SCMP_SYS(brk), 0, nullptr},
#ifdef __NR_mmap2
    // 32-bit systems map through mmap2, whose arguments the filter can read.
    // The old mmap takes them from memory, where it cannot, and stays out.
    {SCMP_SYS(mmap2), 2, newMemory},
#else
    {SCMP_SYS(mmap), 2, newMemory},
#endif
    {SCMP_SYS(mremap), 0, nullptr},
    {SCMP_SYS(munmap), 0, nullptr},
    {SCMP_SYS(madvise), 0, nullptr},
    // The result, written to its own file and nowhere else.
    {SCMP_SYS(pwrite64), 1, toResult},
    // The end.
    {SCMP_SYS(exit_group), 0, nullptr},
};

// Room for the filter: it takes a few dozen instructions.
struct Program {
    sock_filter instructions[256];
    unsigned short length;
};

// The filter, compiled by libseccomp and read back through a pipe (a few
// hundred bytes fit in its buffer); of no length if it cannot be built. It
// is loaded with the system call itself, never through libseccomp, which
// falls back on other means where the call is refused.
void compileFilter(Program &program)
{
    program.length = 0;
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    bool built = filter != nullptr;
    for (const Allowed &rule : allowed)
        built = built && seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, rule.call, rule.tests, rule.test) == 0;
    int ends[2];
    if (built && pipe2(ends, O_CLOEXEC) == 0) {
        built = seccomp_export_bpf(filter, ends[1]) == 0;
        close(ends[1]);
        const ssize_t bytes = built ? read(ends[0], program.instructions, sizeof program.instructions) : -1;
        built = bytes > 0 && size_t(bytes) < sizeof program.instructions && bytes % sizeof(sock_filter) == 0;
        program.length = built ? static_cast<unsigned short>(size_t(bytes) / sizeof(sock_filter)) : 0;
        close(ends[0]);
    }
    seccomp_release(filter);
}

} // namespace

bool enterDecodeSandbox(std::uint64_t maxResultBytes)
{
    const rlimit written = {rlim_t(maxResultBytes), rlim_t(maxResultBytes)};
    if (setrlimit(RLIMIT_FSIZE, &written) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    // A kernel built without seccomp: the other limits alone.
    if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0 && errno == EINVAL)
        return true;
    Program program;
    compileFilter(program);
    if (program.length == 0)
        return false;
    const sock_fprog filter = {program.length, program.instructions};
    return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}
