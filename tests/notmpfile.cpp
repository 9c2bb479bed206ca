// Preloaded into the tool by some tests: refuses O_TMPFILE as FAT, network file systems,
// old kernels and other systems do, so that the tool's fallback, a hidden temporary
// name, runs on this machine too; refuses the copy in the kernel as a FAT stick does
// for an archive on another disk (EXDEV), so that the copy through our buffer runs too;
// and refuses an exclusive flock() on a file open only for reading, as Linux's NFS
// client does (it takes a byte-range write lock there).
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

extern "C" int open(const char *path, int flags, ...)
{
    using openfn = int (*)(const char *, int, ...);
    static auto real = reinterpret_cast<openfn>(dlsym(RTLD_NEXT, "open"));
    mode_t mode = 0;

    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    if ((flags & O_CREAT) != 0) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    return real(path, flags, mode);
}

extern "C" int flock(int fd, int op)
{
    using flockfn = int (*)(int, int);
    static auto real = reinterpret_cast<flockfn>(dlsym(RTLD_NEXT, "flock"));

    if ((op & LOCK_EX) != 0 && (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) {
        errno = EBADF;
        return -1;
    }
    return real(fd, op);
}

extern "C" ssize_t copy_file_range(int, off64_t *, int, off64_t *, size_t, unsigned int)
{
    errno = EXDEV;
    return -1;
}
