// Preloaded into the tool by scripts/racesweep.sh: holds the tool right before an exact
// call of a track file's life, until the sweep lets it go, so that another run can be
// made to act at that very moment. No timing is involved.
//   DORVU_HOLD=n           hold before the n-th counted call (0 or unset: never)
//   DORVU_HOLD_ON=sweep    count only calls on our temporary files (.dorvu-...) made before
//                          the run creates a file of its own: the calls of its sweep of
//                          leftovers; unset, every call below is counted
//   DORVU_HOLD_FIFO=path   when held, write "held n call target" to path.held, then read
//                          the next n to hold at from path.go ("0": run free)
//   DORVU_HOLD_TRACE=file  write every counted call to file as "n call target"
// The calls: open, lstat, flock, fchmod, linkat, rename, unlink, fclose, the fwrite of a
// 44-byte header, and in a sweep close. The target is the file's name, or for a call on
// an open file the name the system gives its descriptor.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

template <typename fn> static fn next(const char *name)
{
    return reinterpret_cast<fn>(dlsym(RTLD_NEXT, name));
}

using openfn = int (*)(const char *, int, ...);
using closefn = int (*)(int);
static openfn realopen;
static closefn realclose;
static bool created; // the run has made a file of its own: its sweep is over

static const char *nameof(int fd, char *buf, size_t size)
{
    char proc[32];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(proc, buf, size - 1);
    buf[n > 0 ? n : 0] = '\0';
    const char *slash = strrchr(buf, '/');
    return slash != nullptr ? slash + 1 : buf;
}

// Says "held ..." on path.held, then waits for the next point on path.go.
static long waitgo(const char *line)
{
    char path[4096], buf[32] = "";
    const char *base = getenv("DORVU_HOLD_FIFO");

    if (realopen == nullptr) {
        realopen = next<openfn>("open");
        realclose = next<closefn>("close");
    }
    snprintf(path, sizeof path, "%s.held", base);
    int fd = realopen(path, O_WRONLY);
    if (fd < 0 || write(fd, line, strlen(line)) < 0)
        abort();
    realclose(fd);
    snprintf(path, sizeof path, "%s.go", base);
    fd = realopen(path, O_RDONLY);
    if (fd < 0 || read(fd, buf, sizeof buf - 1) < 0)
        abort();
    realclose(fd);
    return atol(buf);
}

static void point(const char *call, const char *target)
{
    static long n, at = -1;
    static bool inside; // the trace's own fclose is no point
    static const char *on = getenv("DORVU_HOLD_ON");

    if (inside || (on != nullptr && (created || strncmp(target, ".dorvu-", 7) != 0)))
        return;
    if (at < 0) {
        const char *hold = getenv("DORVU_HOLD");
        at = hold != nullptr ? atol(hold) : 0;
    }
    char line[4200];
    snprintf(line, sizeof line, "held %ld %s %s\n", ++n, call, target);
    if (const char *trace = getenv("DORVU_HOLD_TRACE")) {
        inside = true;
        FILE *f = fopen(trace, "a");
        if (f == nullptr)
            abort();
        fputs(line + 5, f);
        fclose(f);
        inside = false;
    }
    if (n == at)
        at = waitgo(line);
}

static void fdpoint(const char *call, int fd)
{
    char buf[4096];
    point(call, nameof(fd, buf, sizeof buf));
}

extern "C" int open(const char *path, int flags, ...)
{
    static auto real = next<openfn>("open");
    mode_t mode = 0;

    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    created = created || (flags & (O_CREAT | O_TMPFILE)) != 0;
    point("open", path);
    return real(path, flags, mode);
}

extern "C" int lstat(const char *path, struct stat *st)
{
    static auto real = next<int (*)(const char *, struct stat *)>("lstat");
    point("lstat", path);
    return real(path, st);
}

extern "C" int flock(int fd, int op)
{
    static auto real = next<int (*)(int, int)>("flock");
    fdpoint("flock", fd);
    return real(fd, op);
}

extern "C" int fchmod(int fd, mode_t mode)
{
    static auto real = next<int (*)(int, mode_t)>("fchmod");
    fdpoint("fchmod", fd);
    return real(fd, mode);
}

extern "C" int linkat(int fromdir, const char *from, int todir, const char *to, int flags)
{
    static auto real = next<int (*)(int, const char *, int, const char *, int)>("linkat");
    point("linkat", to);
    return real(fromdir, from, todir, to, flags);
}

extern "C" int rename(const char *from, const char *to)
{
    static auto real = next<int (*)(const char *, const char *)>("rename");
    point("rename", from);
    return real(from, to);
}

extern "C" int unlink(const char *path)
{
    static auto real = next<int (*)(const char *)>("unlink");
    point("unlink", path);
    return real(path);
}

// The sweep's close of a leftover; a track file's own close is its fclose.
extern "C" int close(int fd)
{
    static auto real = next<closefn>("close");
    if (getenv("DORVU_HOLD_ON") != nullptr)
        fdpoint("close", fd);
    return real(fd);
}

extern "C" int fclose(FILE *f)
{
    static auto real = next<int (*)(FILE *)>("fclose");
    if (f != stdout && f != stderr)
        fdpoint("fclose", fileno(f));
    return real(f);
}

extern "C" size_t fwrite(const void *buf, size_t size, size_t n, FILE *f)
{
    static auto real = next<size_t (*)(const void *, size_t, size_t, FILE *)>("fwrite");
    if (size * n == 44 && f != stdout && f != stderr)
        fdpoint("write", fileno(f));
    return real(buf, size, n, f);
}
