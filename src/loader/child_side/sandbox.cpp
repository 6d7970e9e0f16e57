#include "loader/child_side/sandbox.h"

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
#include <cstdint>
#include <vector>

namespace {

enum class Only : std::uint8_t { Always, NotExecutable, NewMemory, ToResult };

// What a decoding child may still do, found by tracing children over
// pictures of every kind SOIL reads, good and hostile, in the viewer's build
// and under AddressSanitizer, on 64-bit and 32-bit x86, and on 64-bit and
// 32-bit ARM (tools/on-arch.sh). Everything else kills the child. Every
// name here is known to libseccomp on every architecture; a call the
// architecture lacks is left out by the preprocessor, so that no rule can
// be refused.
struct Allowed {
    int call;
    Only only;
};
const Allowed allowed[] = {
    // Memory for the decoder's buffers, never executable and never a file's.
    {SCMP_SYS(brk), Only::Always},
#ifdef __NR_mmap2
    // 32-bit systems map through mmap2, whose arguments the filter can read.
    // The old mmap takes them from memory, where it cannot, and stays out.
    {SCMP_SYS(mmap2), Only::NewMemory},
#else
    {SCMP_SYS(mmap), Only::NewMemory},
#endif
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
    // The protection argument of mmap and mprotect, the flags of mmap, the
    // descriptor of pwrite.
    const scmp_arg_cmp notExecutable = {2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};
    const scmp_arg_cmp newMemory[] = {notExecutable, {3, SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, MAP_ANONYMOUS}};
    const scmp_arg_cmp toResult = {0, SCMP_CMP_EQ, scmp_datum_t(resultFd), 0};
    bool built = true;
    for (const Allowed &rule : allowed) {
        const scmp_arg_cmp *tests = rule.only == Only::NotExecutable ? &notExecutable
                                    : rule.only == Only::NewMemory   ? newMemory
                                    : rule.only == Only::ToResult    ? &toResult
                                                                     : nullptr;
        const unsigned count = rule.only == Only::NewMemory ? 2 : tests ? 1 : 0;
        built &= seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, rule.call, count, tests) == 0;
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
    const rlimit written = {rlim_t(maxResultBytes), rlim_t(maxResultBytes)};
    if (setrlimit(RLIMIT_FSIZE, &written) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    // A kernel built without seccomp: the other limits alone.
    if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0 && errno == EINVAL)
        return true;
    if (program.empty())
        return false;
    const sock_fprog filter = {static_cast<unsigned short>(program.size()), program.data()};
    return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0;
}
