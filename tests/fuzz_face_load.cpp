// libFuzzer target over the whole isolated load of one face picture, child
// process and its sandbox included. Whatever the bytes, this process must
// not crash, hang or leak a descriptor or a child.
//
// The first corpus directory on the command line is seeded with small
// pictures of every kind the loader reads if it is empty or missing.
// Needs DISPLAY: the upload needs a GL context.

#include "picture_files.h"
#include "face_loader.h"
#include "isolated_decode.h"
#include "test_support.h"

#include <pthread.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string facePath;

// Seeds the corpus with a small picture of every kind the loader reads, if
// it is empty or missing; returns the seeds' paths.
std::vector<std::string> seedCorpus(const std::string &dir)
{
    if (std::filesystem::exists(dir) && !(std::filesystem::is_directory(dir) && std::filesystem::is_empty(dir)))
        return {}; // a corpus already, or a single input to replay
    std::filesystem::create_directories(dir);
    Picture picture(7, 5, Rgb{200, 30, 60});
    picture.fillRect(3, 0, 7, 3, Rgb{20, 240, 90});
    std::vector<std::string> seeds;
    for (Format format : allFormats)
        if (writePicture(dir + "/seed-" + formatName(format), picture, format))
            seeds.push_back(dir + "/seed-" + formatName(format));
    if (writeZeroPng(dir + "/grey.png", 9, 4))
        seeds.push_back(dir + "/grey.png");
    return seeds;
}

void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_face_load: %s\n", what);
    std::abort();
}

} // namespace

// Big requests from hostile headers fail as a null pointer, not as a report;
// the libraries' own teardown at exit is not this program's leak.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the sanitizer looks for
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1:leak_check_at_exit=0"; }

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The decoding child is expected to fault on hostile bytes; there the
    // sanitizer must not hand the input to libFuzzer as a crash of ours.
    pthread_atfork(nullptr, nullptr, [] { __sanitizer_set_death_callback(nullptr); });
    std::vector<std::string> seeds;
    for (int i = 1; i < *argc && seeds.empty(); ++i)
        if ((*argv)[i][0] != '-')
            seeds = seedCorpus((*argv)[i]);
    char pattern[] = "/tmp/cubeview-fuzz-XXXXXX";
    if (!mkdtemp(pattern))
        fail("cannot make a directory for the face file");
    facePath = std::string(pattern) + "/face.bmp";
    openTestWindow();
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    // Every seed loads, in this build too: otherwise the run proves nothing.
    for (const std::string &seed : seeds) {
        startFaceLoad(0, seed.c_str());
        GLuint texture = finishFaceLoad(0);
        if (!texture)
            fail(("seed " + seed + " does not load").c_str());
        glDeleteTextures(1, &texture);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size)
{
    std::ofstream(facePath, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data), std::streamsize(size));
    const int descriptors = openDescriptors();
    startFaceLoad(0, facePath.c_str());
    GLuint texture = finishFaceLoad(0);
    glDeleteTextures(1, &texture);
    if (openDescriptors() != descriptors)
        fail("a descriptor was left open");
    if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD)
        fail("a child process was left behind");
    return 0;
}
