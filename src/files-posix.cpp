// Files on POSIX systems. On Linux a track is written into a file opened with
// O_TMPFILE, which has no name: if the process dies, by kill -9 or a power cut, the
// kernel frees it and nothing is left in the user's folder. Only the complete file is
// linked in, through /proc/self/fd.
//
// A track file that has a name is held with an exclusive flock() for as long as it has
// it. A later run removes a file of our temporary names only if it can take that lock:
// then no live run has it, and it is a dead run's leftover. A run stopped with Ctrl-Z
// keeps its lock, and its file.
#include "files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
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

    if (fstat(fileno(f), &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = 0;
        return -1;
    }
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
    if (access(proc, F_OK) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
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

static bool samefile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Takes the lock of the new temporary file fd and checks that name still leads to it: a
// sweep may have taken it for a leftover before the lock. 0 if it is ours; EEXIST if it
// was taken, so that the next name will do; else the reason it cannot be told.
static int lockours(int fd, const char *name)
{
    struct stat mine, named;

    // Where the file system has no locks, no run can take one, so none removes the file.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return EEXIST;
    if (fstat(fd, &mine) != 0 || lstat(name, &named) != 0)
        return errno == ENOENT ? EEXIST : errno;
    return samefile(mine, named) ? 0 : EEXIST;
}

FILE *createnew(const char *name)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);

    if (fd < 0)
        return nullptr;
    int err = lockours(fd, name);
    FILE *f = err == 0 ? fdopen(fd, "wb") : nullptr;
    if (f == nullptr) {
        if (err == 0)
            err = errno;
        if (err != EEXIST)
            unlink(name); // before the close: while locked, the name is still ours
        close(fd);
        errno = err;
    }
    return f;
}

bool removeleftover(const char *name)
{
    struct stat held, named;
    int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);

    if (fd < 0)
        return false;
    bool dead = fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
                flock(fd, LOCK_EX | LOCK_NB) == 0 && lstat(name, &named) == 0 &&
                samefile(held, named) && unlink(name) == 0;
    close(fd);
    return dead;
}

// A close reports what the file system could not write (NFS does); a closed duplicate
// tells it while f, and its lock, stay open.
bool flushtrack(FILE *f)
{
    if (fflush(f) != 0 || ferror(f))
        return false;
    int fd = dup(fileno(f));
    return fd >= 0 && close(fd) == 0;
}

// rename() replaces a link at the target itself, never what it points to.
bool movetrack(FILE *, const char *from, const char *to)
{
    return rename(from, to) == 0;
}

// The name goes first, while the lock still keeps every sweep away from it.
void droptemp(FILE *f, const char *name)
{
    if (*name != '\0')
        unlink(name);
    fclose(f);
}
