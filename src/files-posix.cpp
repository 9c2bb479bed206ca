// Files on POSIX systems. On Linux a track is written into a file opened with
// O_TMPFILE, which has no name: if the process dies, by kill -9 or a power cut, the
// kernel frees it and nothing is left in the user's folder. Only the complete file is
// linked in, through /proc/self/fd.
#include "files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A stream on fd; or none, with fd closed and errno kept, if fd or the stream failed.
static FILE *streamof(int fd, const char *mode)
{
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, mode);
    if (f == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}

FILE *openread(const char *name)
{
    return streamof(open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC), "rb");
}

long long regularsize(FILE *f)
{
    struct stat st;

    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

static void procname(char *buf, size_t size, int fd)
{
    snprintf(buf, size, "/proc/self/fd/%d", fd);
}

// Refused by other systems, by old kernels and by some file systems (FAT, network file
// systems); the file is then written under a temporary name instead. Without /proc the
// file could not be linked in later, so it is not made at all.
FILE *createnameless()
{
#ifdef O_TMPFILE
    char proc[32];
    int fd = open(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);

    if (fd < 0)
        return nullptr;
    procname(proc, sizeof proc, fd);
    if (access(proc, F_OK) != 0) {
        close(fd);
        return nullptr;
    }
    return streamof(fd, "wb");
#else
    return nullptr;
#endif
}

bool linkas(FILE *f, const char *name)
{
    char proc[32];

    procname(proc, sizeof proc, fileno(f));
    return linkat(AT_FDCWD, proc, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
}

FILE *createnew(const char *name)
{
    return streamof(open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666), "wb");
}

// rename() replaces a link at the target itself, never what it points to.
bool replacefile(const char *from, const char *to)
{
    return rename(from, to) == 0;
}
