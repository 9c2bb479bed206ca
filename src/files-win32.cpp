// Files on Windows: a track is written under a hidden temporary name and moved over its
// final name when complete; Windows has no file without a name to write into.
#include "files.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

FILE *openread(const char *name)
{
    return fopen(name, "rb");
}

long long regularsize(FILE *f)
{
    struct __stat64 st;

    if (_fstat64(_fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

FILE *createnameless()
{
    return nullptr;
}

bool linkas(FILE *, const char *)
{
    errno = ENOSYS; // never asked: createnameless() makes no nameless file here
    return false;
}

FILE *createnew(const char *name)
{
    int fd = _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);

    if (fd < 0)
        return nullptr;
    FILE *f = _fdopen(fd, "wb");
    if (f == nullptr)
        _close(fd);
    return f;
}

// rename() will not replace an existing file on Windows; MoveFileEx will.
bool replacefile(const char *from, const char *to)
{
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING))
        return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
}
