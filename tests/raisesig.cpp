// Preloaded into the tool by some tests: raises a signal inside the tool at an exact
// point, as a Ctrl-C, a kill or a Ctrl-Z could come there, without any timing.
//   DORVU_RAISE=sig          the signal to raise (a number); SIGINT if not set
//   DORVU_RAISE_RENAME=name  right after the rename (or renameat2) that gives a file
//                            that name
//   DORVU_RAISE_WRITE=n      right after the n-th fwrite or copy_file_range() to a track
//                            file; every later one
//                            then says "late write" on standard error, unless the
//                            signal was SIGSTOP
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
//   DORVU_RAISE_BEFORE=call  right before the first rename or unlink (call) of one of our
//                            temporary names (.dorvu-...): a last step, held
//   DORVU_RAISE_PAUSE=n      right before the n-th pause of the process: a select() that
//                            only waits, which is what wine makes of Windows' Sleep()
//   DORVU_RAISE_PIDFILE=f    the raising process writes its number to f first
// And faults of the system, at exact calls:
//   DORVU_TAKE=n             the first n renames from a temporary name find it removed
//                            just before, as when another run took it for a leftover
//   DORVU_BUSY=name:n        the first n opens of name, or renames to it, answer EBUSY,
//                            as where another program holds it
//   DORVU_FAIL_CLOSE=name    the close right after the rename to name fails (EIO)
//   DORVU_NO_GETENTROPY=1    getentropy() answers ENOSYS, as on Linux before 3.17
//   DORVU_COPY=n:err         the n-th copy_file_range() fails with errno err, or with
//                            err 0 copies nothing and says 0; with DORVU_COPY_HALF=1 the
//                            n-th copies half of what it was asked, and the next one
//                            answers so. Every later call says "late copy" on standard
//                            error: a run must ask no more once it was told no
//   DORVU_FSTYPE=magic       fstatfs() says the file system is of that type (0x01021994
//                            tmpfs, 0xEF53 ext4), so that the tool copies as it would there
//   DORVU_COPY_COUNT=file    at the exit, file holds how many copy_file_range() it made
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/select.h>
#include <sys/vfs.h>
#include <unistd.h>

static void raisenow()
{
    const char *sig = getenv("DORVU_RAISE");
    const char *pidfile = getenv("DORVU_RAISE_PIDFILE");

    if (pidfile != nullptr) {
        FILE *f = fopen(pidfile, "w");
        if (f == nullptr || fprintf(f, "%ld\n", static_cast<long>(getpid())) < 0 || fclose(f) != 0)
            abort();
    }

    raise(sig != nullptr ? atoi(sig) : SIGINT);
}

static void raiseat(const char *var, long count)
{
    const char *at = getenv(var);

    if (at != nullptr && count == atol(at))
        raisenow();
}

static bool ourtemp(const char *name)
{
    return strncmp(name, ".dorvu-", 7) == 0;
}

// Raises the signal before the first call of its kind on a temporary name.
static void before(const char *call, const char *name)
{
    static bool raised;
    const char *at = getenv("DORVU_RAISE_BEFORE");

    if (!raised && at != nullptr && strcmp(at, call) == 0 && ourtemp(name)) {
        raised = true;
        raisenow();
    }
}

// Whether this open of, or rename to, name is one that answers EBUSY.
static bool busy(const char *name)
{
    static long answered;
    const char *spec = getenv("DORVU_BUSY");
    const char *colon = spec != nullptr ? strchr(spec, ':') : nullptr;

    if (colon == nullptr || strncmp(name, spec, colon - spec) != 0 || name[colon - spec] != '\0' ||
        answered == atol(colon + 1))
        return false;
    answered++;
    errno = EBUSY;
    return true;
}

static bool failclose; // the next fclose of a track file fails

extern "C" int rename(const char *from, const char *to)
{
    using renamefn = int (*)(const char *, const char *);
    static auto real = reinterpret_cast<renamefn>(dlsym(RTLD_NEXT, "rename"));
    static long taken;
    const char *at = getenv("DORVU_RAISE_RENAME");
    const char *take = getenv("DORVU_TAKE");
    const char *fail = getenv("DORVU_FAIL_CLOSE");

    before("rename", from);
    if (busy(to))
        return -1;
    if (take != nullptr && ourtemp(from) && taken < atol(take)) {
        taken++;
        unlink(from);
    }
    int r = real(from, to);
    if (at != nullptr && strcmp(to, at) == 0)
        raisenow();
    failclose = r == 0 && fail != nullptr && strcmp(to, fail) == 0;
    return r;
}

extern "C" int renameat2(int fromdir, const char *from, int todir, const char *to, unsigned flags)
{
    using renamefn = int (*)(int, const char *, int, const char *, unsigned);
    static auto real = reinterpret_cast<renamefn>(dlsym(RTLD_NEXT, "renameat2"));
    const char *at = getenv("DORVU_RAISE_RENAME");

    before("rename", from);
    int r = real(fromdir, from, todir, to, flags);
    if (at != nullptr && strcmp(to, at) == 0)
        raisenow();
    return r;
}

extern "C" int unlink(const char *name)
{
    using unlinkfn = int (*)(const char *);
    static auto real = reinterpret_cast<unlinkfn>(dlsym(RTLD_NEXT, "unlink"));

    before("unlink", name);
    return real(name);
}

extern "C" int open(const char *path, int flags, ...)
{
    using openfn = int (*)(const char *, int, ...);
    static auto real = reinterpret_cast<openfn>(dlsym(RTLD_NEXT, "open"));
    mode_t mode = 0;

    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (busy(path))
        return -1;
    return real(path, flags, mode);
}

extern "C" int fclose(FILE *f)
{
    using fclosefn = int (*)(FILE *);
    static auto real = reinterpret_cast<fclosefn>(dlsym(RTLD_NEXT, "fclose"));
    int r = real(f);

    if (r != 0 || !failclose)
        return r;
    failclose = false;
    errno = EIO;
    return EOF;
}

// A write to a track file: counted for DORVU_RAISE_WRITE, the header's for
// DORVU_RAISE_TRACK.
static void trackwrite(bool header)
{
    static long writes, headers;
    const char *at = getenv("DORVU_RAISE_WRITE");

    if (header)
        raiseat("DORVU_RAISE_TRACK", ++headers);
    raiseat("DORVU_RAISE_WRITE", ++writes);
    const char *sig = getenv("DORVU_RAISE");
    bool stop = sig != nullptr && atoi(sig) == SIGSTOP; // a Ctrl-Z: the run goes on
    if (at != nullptr && writes > atol(at) && !stop && write(2, "late write\n", 11) < 0)
        abort();
}

extern "C" size_t fwrite(const void *buf, size_t size, size_t n, FILE *f)
{
    using fwritefn = size_t (*)(const void *, size_t, size_t, FILE *);
    static auto real = reinterpret_cast<fwritefn>(dlsym(RTLD_NEXT, "fwrite"));
    size_t r = real(buf, size, n, f);

    if (f != stdout && f != stderr)
        trackwrite(size * n == 44);
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

    if (getenv("DORVU_NO_GETENTROPY") != nullptr) {
        errno = ENOSYS;
        return -1;
    }
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

extern "C" int select(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *timeout)
{
    using selectfn = int (*)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
    static auto real = reinterpret_cast<selectfn>(dlsym(RTLD_NEXT, "select"));
    static long pauses;

    if (n == 0 && r == nullptr && w == nullptr && e == nullptr && timeout != nullptr)
        raiseat("DORVU_RAISE_PAUSE", ++pauses);
    return real(n, r, w, e, timeout);
}

extern "C" int fstatfs(int fd, struct statfs *fs)
{
    using statfsfn = int (*)(int, struct statfs *);
    static auto real = reinterpret_cast<statfsfn>(dlsym(RTLD_NEXT, "fstatfs"));
    const char *type = getenv("DORVU_FSTYPE");
    int r = real(fd, fs);

    if (r == 0 && type != nullptr)
        fs->f_type = static_cast<decltype(fs->f_type)>(strtoul(type, nullptr, 0));
    return r;
}

static long copies; // copy_file_range() calls made

__attribute__((destructor)) static void tellcopies()
{
    const char *path = getenv("DORVU_COPY_COUNT");
    FILE *f = path != nullptr ? fopen(path, "w") : nullptr;

    if (f != nullptr && (fprintf(f, "%ld\n", copies) < 0 || fclose(f) != 0))
        abort();
}

extern "C" ssize_t copy_file_range(int in, off64_t *inat, int out, off64_t *outat, size_t n,
                                   unsigned int flags)
{
    using copyfn = ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned int);
    static auto real = reinterpret_cast<copyfn>(dlsym(RTLD_NEXT, "copy_file_range"));
    static long calls;
    const char *spec = getenv("DORVU_COPY");
    const char *colon = spec != nullptr ? strchr(spec, ':') : nullptr;

    copies++;
    if (colon == nullptr) {
        ssize_t r = real(in, inat, out, outat, n, flags);
        trackwrite(false);
        return r;
    }
    long at = atol(spec), answer = at + (getenv("DORVU_COPY_HALF") != nullptr ? 1 : 0);
    calls++;
    if (calls > answer && write(2, "late copy\n", 10) < 0)
        abort();
    if (calls == at && at != answer) // the half before the answer
        return real(in, inat, out, outat, n / 2, flags);
    if (calls != answer)
        return real(in, inat, out, outat, n, flags);
    errno = atoi(colon + 1);
    return errno == 0 ? 0 : -1;
}
