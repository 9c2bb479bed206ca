// Preloaded into the tool by some tests: raises SIGINT inside the tool at an exact point,
// as a Ctrl-C could come there, without any timing.
//   DORVU_RAISE_RENAME=name  right after the rename that gives a file that name
//   DORVU_RAISE_WRITE=n      right after the n-th fwrite to a track file; every later one
//                            then says "late write" on standard error
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

extern "C" int rename(const char *from, const char *to)
{
    using renamefn = int (*)(const char *, const char *);
    static auto real = reinterpret_cast<renamefn>(dlsym(RTLD_NEXT, "rename"));
    const char *at = getenv("DORVU_RAISE_RENAME");
    int r = real(from, to);

    if (at != nullptr && strcmp(to, at) == 0)
        raise(SIGINT);
    return r;
}

extern "C" size_t fwrite(const void *buf, size_t size, size_t n, FILE *f)
{
    using fwritefn = size_t (*)(const void *, size_t, size_t, FILE *);
    static auto real = reinterpret_cast<fwritefn>(dlsym(RTLD_NEXT, "fwrite"));
    static long count;
    const char *at = getenv("DORVU_RAISE_WRITE");
    size_t r = real(buf, size, n, f);

    if (at == nullptr || f == stdout || f == stderr)
        return r;
    if (++count == atol(at))
        raise(SIGINT);
    else if (count > atol(at) && write(2, "late write\n", 11) < 0)
        abort();
    return r;
}
