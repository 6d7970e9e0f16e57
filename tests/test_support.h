#pragma once

// Shared by the tests that need a GL context of their own.

#include <GL/glut.h>
#include <dirent.h>
#include <unistd.h>

#include <cstdio>

// A small GLUT window for its GL context, placed clear of where the viewer
// opens its own.
inline void openTestWindow()
{
    int argc = 1;
    char name[] = "cubeview test", *argv[] = {name, nullptr};
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(200, 150);
    glutInitWindowPosition(1800, 1300);
    glutCreateWindow("cubeview test");
}

// How many descriptors this process has open.
inline int openDescriptors()
{
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    while (readdir(fds))
        ++count;
    closedir(fds);
    return count;
}

// How much of this process is in memory, in bytes.
inline unsigned long long residentBytes()
{
    unsigned long long pages = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%*u %llu", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    return pages * unsigned(sysconf(_SC_PAGESIZE));
}
