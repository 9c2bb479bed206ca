// Files on Windows. A track is written under a hidden temporary name into a file marked
// for deletion the moment it is made: if the process dies, by End task or a crash, the
// system closes its handle and the file goes with it. The complete file is unmarked and
// renamed by its handle over the final name. (FILE_FLAG_DELETE_ON_CLOSE would not do:
// clearing the mark does not cancel that flag everywhere, and the file would go at
// close after all, with the one it replaced.) On a network drive the file is not marked,
// as LLVM's TempFile does not mark it there: the mark can block later writes to it. It
// is then removed by name on any failure or stop, and by a later run if a kill left it.
//
// The track file is shared for reading only, so no other run can delete it while it
// lives; a later run deletes whatever it can of our temporary names, which is what runs
// that died left.
//
// Another program that has a file open, a player, a virus scanner or an indexer, often
// lets go within a moment: an open or a rename it blocks is tried again, as every
// "busy" answer is (waitbusy), before it fails with EBUSY.
#define _CRT_RAND_S // rand_s(), the system's random source
#include "files.h"
#include "sysfiles.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

static bool marked; // the track file being written is marked for deletion

static int errnoof(DWORD err)
{
    switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EBUSY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    default:
        return EIO;
    }
}

static bool fail(DWORD err)
{
    errno = errnoof(err);
    return false;
}

// Windows reports a file that another program holds as access denied as often as a
// sharing violation. Opening it for DELETE with every sharing allowed tells which.
static bool heldelsewhere(const char *name)
{
    HANDLE h = CreateFileA(name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);

    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Waits before the next try while another program holds name. Once it is time to give
// up (EBUSY), or when the failure err has another reason, sets errno and says false.
static bool waitfor(const char *name, DWORD err, int *tries)
{
    bool held = err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION ||
                (err == ERROR_ACCESS_DENIED && heldelsewhere(name));

    if (!held)
        return fail(err);
    if (waitbusy(tries))
        return true;
    errno = EBUSY;
    return false;
}

void pausems(int ms)
{
    Sleep(static_cast<DWORD>(ms));
}

static FILE *streamof(HANDLE h, int flags, const char *mode)
{
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);

    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *f = _fdopen(fd, mode);
    if (f == nullptr)
        _close(fd);
    return f;
}

static HANDLE handleof(FILE *f)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
}

FILE *openread(const char *name)
{
    for (int tries = 0;;) {
        HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            return streamof(h, _O_RDONLY, "rb");
        if (!waitfor(name, GetLastError(), &tries))
            return nullptr;
    }
}

long long regularsize(FILE *f)
{
    struct __stat64 st;

    if (_fstat64(_fileno(f), &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = 0;
        return -1;
    }
    return st.st_size;
}

bool kernelcopywins(FILE *)
{
    return false;
}

long long copyrange(FILE *, long long, FILE *, long long)
{
    errno = ENOSYS;
    return -1;
}

// Read-only is the one permission a Windows file keeps; such a file stops the run.
bool mayreplace(const char *name, int *mode)
{
    DWORD attr = GetFileAttributesA(name);

    *mode = -1;
    if (attr == INVALID_FILE_ATTRIBUTES ||
        (attr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return true;
    if ((attr & FILE_ATTRIBUTE_READONLY) != 0) {
        errno = EACCES;
        return false;
    }
    return true;
}

bool randomnumber(uint64_t *n)
{
    unsigned int hi, lo;

    if (rand_s(&hi) != 0 || rand_s(&lo) != 0) {
        errno = EIO;
        return false;
    }
    *n = static_cast<uint64_t>(hi) << 32 | lo;
    return true;
}

void eachname(void (*fn)(const char *name))
{
    WIN32_FIND_DATAA e;
    HANDLE h = FindFirstFileA("*", &e);

    if (h == INVALID_HANDLE_VALUE)
        return;
    do
        fn(e.cFileName);
    while (FindNextFileA(h, &e));
    FindClose(h);
}

// The current directory is on a network drive: a mapped drive letter, or a UNC path
// (\\server\share, \\?\UNC\server\share).
static bool remotedir()
{
    char dir[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof dir, dir);

    if (n == 0 || n >= sizeof dir)
        return true; // a long path we cannot tell: do without the mark
    if (strncmp(dir, "\\\\?\\", 4) == 0)
        return strncmp(dir + 4, "UNC\\", 4) == 0;
    if (strncmp(dir, "\\\\", 2) == 0)
        return true;
    return GetDriveTypeA(nullptr) == DRIVE_REMOTE;
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

static bool setdelete(HANDLE h, bool on)
{
    FILE_DISPOSITION_INFO info = {};

    info.DeleteFile = on;
    return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

// A name a live run has marked for deletion answers access denied, to a create as to
// anything else: that name is taken. In a folder we may not write to, it is not there.
static bool taken(const char *name)
{
    return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES ||
           GetLastError() == ERROR_ACCESS_DENIED;
}

// Where the system refuses the mark, the file is still removed on any failure or stop
// that the process lives through, and a later run removes it if a kill left it.
FILE *createnew(const char *name)
{
    HANDLE h = CreateFileA(name, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN, nullptr);

    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        errno = err == ERROR_ACCESS_DENIED && taken(name) ? EEXIST : errnoof(err);
        return nullptr;
    }
    static const bool remote = remotedir();
    marked = !remote && setdelete(h, true);
    FILE *f = streamof(h, _O_WRONLY, "wb");
    if (f == nullptr) {
        int err = errno;
        if (!marked)
            DeleteFileA(name);
        marked = false;
        errno = err;
    }
    return f;
}

// Opened for DELETE, sharing everything: that fails for a live run's file, which shares
// only reading, and for a folder; a link is opened itself, and left alone.
bool removeleftover(const char *name)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = CreateFileA(name, DELETE | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);

    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool dead =
        GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        setdelete(h, true);
    CloseHandle(h);
    return dead;
}

bool flushtrack(FILE *f)
{
    return fflush(f) == 0 && !ferror(f);
}

// The full path of the new name, as a rename by handle takes it.
static union {
    FILE_RENAME_INFO info;
    char space[sizeof(FILE_RENAME_INFO) + 32768 * sizeof(WCHAR)];
} renameinfo;

// Normal attributes first. The mark is cleared just before each try, else the file would
// go at close with its new name, and set again while another program holds the old file:
// a kill can leave the complete file under its temporary name only in the instant of a
// try, and never lose the track it replaces. A rename through the file's own handle is
// one a network share allows while the file is open.
static bool renameopen(HANDLE h, const char *to)
{
    FILE_BASIC_INFO basic = {};
    WCHAR wide[MAX_PATH];
    DWORD n;

    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic))
        return fail(GetLastError());
    if (MultiByteToWideChar(CP_ACP, 0, to, -1, wide, MAX_PATH) == 0)
        return fail(GetLastError());
    n = GetFullPathNameW(wide, 32768, renameinfo.info.FileName, nullptr);
    if (n == 0 || n >= 32768)
        return fail(n == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    renameinfo.info.ReplaceIfExists = TRUE;
    renameinfo.info.RootDirectory = nullptr;
    renameinfo.info.FileNameLength = n * sizeof(WCHAR);
    for (int tries = 0;;) {
        bool wasmarked = marked;
        if (marked && !setdelete(h, false))
            return fail(GetLastError());
        marked = false;
        if (SetFileInformationByHandle(h, FileRenameInfo, &renameinfo, sizeof renameinfo))
            return true;
        DWORD err = GetLastError();
        marked = wasmarked && setdelete(h, true);
        if (!waitfor(to, err, &tries))
            return false;
    }
}

// Only a run on Linux moves a track aside (files-posix.cpp); one that died there leaves
// it on a share that this run's sweep may see.
bool renamenew(const char *from, const char *to)
{
    return MoveFileExA(from, to, 0) || fail(GetLastError());
}

// No other program can remove the file while it is open, as it shares no deleting, so
// the name it is renamed from is always its own. Windows keeps no permission bits.
bool movetrack(FILE *f, int, const char *, const char *to, int *closeerr)
{
    bool moved = renameopen(handleof(f), to);
    int err = errno;

    *closeerr = 0;
    if (fclose(f) != 0 && moved)
        *closeerr = errno;
    errno = err;
    return moved;
}

// A file marked for deletion goes with its handle. An unmarked one (a network drive) is
// marked now, as no more is written to it, so that it goes while still ours; where that
// is refused, it is removed by name once closed.
void droptemp(FILE *f, const char *name)
{
    if (f != nullptr && !marked)
        marked = setdelete(handleof(f), true);
    if (f != nullptr)
        fclose(f);
    if (!marked && *name != '\0')
        DeleteFileA(name);
    marked = false;
}
