#include "loader/viewer_side/decoder_program.h"

#include "loader/shared/decode_limits.h"
#include "loader/shared/decoder_command.h"
#include "loader/shared/result.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

const std::string &installedDecoder()
{
    static const std::string program = [] {
        char self[PATH_MAX];
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self);
        if (length <= 0 || size_t(length) >= sizeof self)
            return std::string();
        const std::string path(self, size_t(length));
        return path.substr(0, path.rfind('/') + 1) + CUBEVIEW_DECODER_FROM_VIEWER;
    }();
    return program;
}

namespace {

// The result first, in case it is numbered 0 to 2 here (a viewer started
// with them closed); a descriptor put on itself is kept open.
bool setDescriptors(posix_spawn_file_actions_t &descriptors, int result)
{
    return posix_spawn_file_actions_adddup2(&descriptors, result, resultFd) == 0 &&
           posix_spawn_file_actions_addopen(&descriptors, 0, "/dev/null", O_RDWR, 0) == 0 &&
           posix_spawn_file_actions_adddup2(&descriptors, 0, 1) == 0 &&
           posix_spawn_file_actions_adddup2(&descriptors, 0, 2) == 0 &&
           posix_spawn_file_actions_addclosefrom_np(&descriptors, resultFd + 1) == 0;
}

// Every signal at its default, none blocked.
bool setSignals(posix_spawnattr_t &signals)
{
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    return posix_spawnattr_setsigmask(&signals, &none) == 0 && posix_spawnattr_setsigdefault(&signals, &all) == 0 &&
           posix_spawnattr_setflags(&signals, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
}

} // namespace

pid_t startDecoder(const std::string &program, const std::string &picture, int result, const char *behaviour)
{
    const DecodeLimits limits = decodeLimits();
    const std::string given[] = {
        program, std::to_string(getpid()),  std::to_string(limits.pixelBytes), std::to_string(decodeSlowdown()),
        picture, behaviour ? behaviour : ""};
    char *arguments[decoderArguments + 2] = {};
    for (int i = 0; i < decoderArguments + (behaviour ? 1 : 0); ++i)
        arguments[i] = const_cast<char *>(given[i].c_str());
    char *environment[] = {nullptr};

    posix_spawn_file_actions_t descriptors;
    posix_spawnattr_t signals;
    posix_spawn_file_actions_init(&descriptors);
    posix_spawnattr_init(&signals);
    pid_t pid = -1;
    int error = EINVAL;
    if (setDescriptors(descriptors, result) && setSignals(signals))
        error = posix_spawn(&pid, program.c_str(), &descriptors, &signals, arguments, environment);
    if (error == EAGAIN) // refused once, under a passing shortage: one more try
        error = posix_spawn(&pid, program.c_str(), &descriptors, &signals, arguments, environment);
    posix_spawn_file_actions_destroy(&descriptors);
    posix_spawnattr_destroy(&signals);
    return error == 0 ? pid : -1;
}
