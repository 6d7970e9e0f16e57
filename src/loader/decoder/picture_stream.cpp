#include "loader/decoder/picture_stream.h"

#include <stdio_ext.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// The picture, mapped, read as a stream that keeps a regular file's rules:
// a seek to any position from 0 on succeeds, one before 0 fails and leaves
// the position where it was, and a read past the end gives nothing. So a
// decoder reads it exactly as it reads the file through stdio, damaged or
// not, and a skip it computes wrongly cannot take it out of the mapping.
struct MappedFile {
    const char *bytes;
    off64_t size, at;
};

ssize_t readMapped(void *cookie, char *to, size_t count)
{
    auto *file = static_cast<MappedFile *>(cookie);
    const size_t n = size_t(std::min<off64_t>(file->size - std::min(file->at, file->size), off64_t(count)));
    if (n > 0)
        std::memcpy(to, file->bytes + file->at, n), file->at += off64_t(n);
    return ssize_t(n);
}

int seekMapped(void *cookie, off64_t *offset, int whence)
{
    auto *file = static_cast<MappedFile *>(cookie);
    const off64_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file->at : file->size;
    if ((whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) ||
        (*offset < 0 ? from + *offset < 0 : *offset > INT64_MAX - from)) {
        errno = EINVAL;
        return -1;
    }
    *offset = file->at = from + *offset;
    return 0;
}

} // namespace

FILE *pictureStream(const void *bytes, std::uint64_t size)
{
    static MappedFile mapped; // one picture a decoder
    mapped = {static_cast<const char *>(bytes), off64_t(size), 0};
    FILE *stream = fopencookie(&mapped, "rb", {readMapped, nullptr, seekMapped, nullptr});
    if (stream)
        __fsetlocking(stream, FSETLOCKING_BYCALLER); // one thread: its bytes come twice as fast unlocked
    return stream;
}
