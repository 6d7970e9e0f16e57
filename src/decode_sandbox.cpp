#include "decode_sandbox.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

namespace {

enum class Only { Always, NotExecutable, ToResult };

// What a decoding child may still do, found by tracing children over
// pictures of every kind SOIL reads, good and hostile, in the viewer's build
// and under AddressSanitizer. Everything else kills the child.
struct Allowed {
    int call;
    Only only;
};
const Allowed allowed[] = {
    // Memory for the decoder's buffers, never executable.
    {SCMP_SYS(brk), Only::Always},
    {SCMP_SYS(mmap), Only::NotExecutable},
    {SCMP_SYS(mprotect), Only::NotExecutable},
    {SCMP_SYS(mremap), Only::Always},
    {SCMP_SYS(munmap), Only::Always},
    {SCMP_SYS(madvise), Only::Always},
    // The result, written to its own file and nowhere else.
    {SCMP_SYS(pwrite64), Only::ToResult},
    // The end, by returning or by a signal's default action; under
    // AddressSanitizer, _exit first takes down the alternate signal stack.
    {SCMP_SYS(exit_group), Only::Always},
    {SCMP_SYS(exit), Only::Always},
    {SCMP_SYS(rt_sigreturn), Only::Always},
    {SCMP_SYS(sigaltstack), Only::Always},
};

std::vector<sock_filter> program; // the filter, compiled

} // namespace

void prepareDecodeSandbox(int resultFd)
{
    if (!program.empty())
        return;
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (!filter)
        return;
    const scmp_arg_cmp notExecutable = {2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0}; // the protection argument
    const scmp_arg_cmp toResult = {0, SCMP_CMP_EQ, scmp_datum_t(resultFd), 0};
    bool built = true;
    for (const Allowed &rule : allowed) {
        const scmp_arg_cmp *test = rule.only == Only::NotExecutable ? &notExecutable
                                   : rule.only == Only::ToResult    ? &toResult
                                                                    : nullptr;
        built &= seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, rule.call, test ? 1 : 0, test) == 0;
    }
    // Compiled once through a pipe; a few hundred bytes fit in its buffer.
    int ends[2];
    if (built && pipe2(ends, O_CLOEXEC) == 0) {
        built = seccomp_export_bpf(filter, ends[1]) == 0;
        close(ends[1]);
        sock_filter instruction{};
        while (built && read(ends[0], &instruction, sizeof instruction) == ssize_t(sizeof instruction))
            program.push_back(instruction);
        close(ends[0]);
    }
    seccomp_release(filter);
    if (!built)
        program.clear();
}

bool enterDecodeSandbox(std::uint64_t maxResultBytes)
{
    const rlimit written = {maxResultBytes, maxResultBytes};
    setrlimit(RLIMIT_FSIZE, &written);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || program.empty())
        return false;
    const sock_fprog filter = {static_cast<unsigned short>(program.size()), program.data()};
    return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}
