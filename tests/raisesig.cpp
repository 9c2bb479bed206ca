// Preloaded into the tool by some tests: raises a signal inside the tool at an exact
// point, as a Ctrl-C, a kill or a Ctrl-Z could come there, without any timing.
//   DORVU_RAISE=sig          the signal to raise (a number); SIGINT if not set
//   DORVU_RAISE_RENAME=name  right after the rename that gives a file that name
//   DORVU_RAISE_WRITE=n      right after the n-th fwrite to a track file; every later one
//                            then says "late write" on standard error
//   DORVU_RAISE_TRACK=k      right after the first write of the k-th track file (its
//                            header): the track file exists and is in progress
//   DORVU_RAISE_LOCK=k       right after the k-th lock taken on a file open for writing
//   DORVU_RAISE_SYSWRITE=n   right after the n-th write(2) to a file named .dorvu-...:
//                            for the Windows build under wine, whose C library is
//                            Windows' own and whose every write ends in one of these
//   DORVU_SAME_NAMES=1       the random source hands out 0, 1, 2 ... in every process, so
//                            that two runs draw the same temporary names
//   DORVU_CLOCK_STEP=ms      the monotonic clock moves on ms at every reading, so that a
//                            live progress line is redrawn at every chunk, with no waiting
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

static void raisenow()
{
    const char *sig = getenv("DORVU_RAISE");

    raise(sig != nullptr ? atoi(sig) : SIGINT);
}

static void raiseat(const char *var, long count)
{
    const char *at = getenv(var);

    if (at != nullptr && count == atol(at))
        raisenow();
}

extern "C" int rename(const char *from, const char *to)
{
    using renamefn = int (*)(const char *, const char *);
    static auto real = reinterpret_cast<renamefn>(dlsym(RTLD_NEXT, "rename"));
    const char *at = getenv("DORVU_RAISE_RENAME");
    int r = real(from, to);

    if (at != nullptr && strcmp(to, at) == 0)
        raisenow();
    return r;
}

extern "C" size_t fwrite(const void *buf, size_t size, size_t n, FILE *f)
{
    using fwritefn = size_t (*)(const void *, size_t, size_t, FILE *);
    static auto real = reinterpret_cast<fwritefn>(dlsym(RTLD_NEXT, "fwrite"));
    static long writes, headers;
    const char *at = getenv("DORVU_RAISE_WRITE");
    size_t r = real(buf, size, n, f);

    if (f == stdout || f == stderr)
        return r;
    if (size * n == 44)
        raiseat("DORVU_RAISE_TRACK", ++headers);
    raiseat("DORVU_RAISE_WRITE", ++writes);
    if (at != nullptr && writes > atol(at) && write(2, "late write\n", 11) < 0)
        abort();
    return r;
}

// Whether fd is open on one of our temporary files, by the name the system gives it.
static bool istemp(int fd)
{
    char proc[32], name[4096];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(proc, name, sizeof name - 1);
    name[n > 0 ? n : 0] = '\0';
    return strstr(name, "/.dorvu-") != nullptr;
}

static void syswritten(int fd)
{
    static long writes;

    if (getenv("DORVU_RAISE_SYSWRITE") != nullptr && istemp(fd))
        raiseat("DORVU_RAISE_SYSWRITE", ++writes);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    using writefn = ssize_t (*)(int, const void *, size_t);
    static auto real = reinterpret_cast<writefn>(dlsym(RTLD_NEXT, "write"));
    ssize_t r = real(fd, buf, n);

    syswritten(fd);
    return r;
}

extern "C" ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t at)
{
    using pwritefn = ssize_t (*)(int, const void *, size_t, off64_t);
    static auto real = reinterpret_cast<pwritefn>(dlsym(RTLD_NEXT, "pwrite64"));
    ssize_t r = real(fd, buf, n, at);

    syswritten(fd);
    return r;
}

extern "C" int flock(int fd, int op)
{
    using flockfn = int (*)(int, int);
    static auto real = reinterpret_cast<flockfn>(dlsym(RTLD_NEXT, "flock"));
    static long locks;
    int r = real(fd, op);

    if (r == 0 && (op & LOCK_EX) != 0 && (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY)
        raiseat("DORVU_RAISE_LOCK", ++locks);
    return r;
}

extern "C" int getentropy(void *buf, size_t n)
{
    using getentropyfn = int (*)(void *, size_t);
    static auto real = reinterpret_cast<getentropyfn>(dlsym(RTLD_NEXT, "getentropy"));
    static unsigned char next;

    if (getenv("DORVU_SAME_NAMES") == nullptr)
        return real(buf, n);
    memset(buf, 0, n);
    static_cast<unsigned char *>(buf)[0] = next++;
    return 0;
}

extern "C" int clock_gettime(clockid_t id, struct timespec *ts)
{
    using clockfn = int (*)(clockid_t, struct timespec *);
    static auto real = reinterpret_cast<clockfn>(dlsym(RTLD_NEXT, "clock_gettime"));
    static long long now;
    const char *step = getenv("DORVU_CLOCK_STEP");

    if (step == nullptr || id != CLOCK_MONOTONIC)
        return real(id, ts);
    now += atoll(step) * 1000000LL;
    ts->tv_sec = now / 1000000000LL;
    ts->tv_nsec = now % 1000000000LL;
    return 0;
}
