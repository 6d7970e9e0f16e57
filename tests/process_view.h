#pragma once

// A process as seen from outside, through /proc: for the tests that check
// how a decoder is confined.

#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The rest of the first line of /proc/PID/FILE that starts with `key`, or "".
inline std::string proc(pid_t pid, const char *file, const std::string &key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return line.substr(key.size());
    return "";
}

// How many seccomp filters it is under, and its state (Z once it has ended).
inline int filtersOf(pid_t pid) { return std::atoi(proc(pid, "status", "Seccomp_filters:\t").c_str()); }
inline char stateOf(pid_t pid) { return proc(pid, "status", "State:\t").c_str()[0]; }

// The processes the main thread of `pid` started.
inline std::vector<pid_t> childrenOf(pid_t pid)
{
    std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    return {std::istream_iterator<pid_t>(list), {}};
}

// The program it runs; its descriptors, each with what it is; its seccomp
// mode and whether it may gain privileges; and its environment.
inline std::string confinementOf(pid_t pid)
{
    const std::string root = "/proc/" + std::to_string(pid);
    std::error_code gone;
    std::string seen = std::filesystem::read_symlink(root + "/exe", gone).filename().string() + ": ", environment;
    std::ifstream variables(root + "/environ");
    for (std::string variable; std::getline(variables, variable, '\0');)
        environment += (environment.empty() ? "" : " ") + variable;
    for (const auto &fd : std::filesystem::directory_iterator(root + "/fd")) // in the order of their numbers
        seen += (seen.back() == ' ' ? "" : ", ") + fd.path().filename().string() + " " +
                std::filesystem::read_symlink(fd.path()).string();
    return seen + "; seccomp " + proc(pid, "status", "Seccomp:\t") + ", no new privileges " +
           proc(pid, "status", "NoNewPrivs:\t") + "; environment " + (environment.empty() ? "empty" : environment);
}
