// Files on POSIX systems. On Linux a track is written into a file opened with
// O_TMPFILE, which has no name: if the process dies, by kill -9 or a power cut, the
// kernel frees it and nothing is left in the user's folder. Only the complete file is
// linked in, through /proc/self/fd.
//
// A track file that has a name is held with an exclusive flock() from a moment after it
// is made until it has its final name, or none. A later run removes a file of our
// temporary names only while it holds that lock itself: then no run on this machine has
// it, and it is a dead run's leftover. A run stopped with Ctrl-Z keeps its lock, and its
// file. Every last step, the rename or the removal, is made while the file is open and
// locked; only where the file system refuses that (an SMB share answers EBUSY) is the
// file closed first, and the lock gone for that moment. A lock is not seen from another
// machine (through another mount of a network folder), whose run may take a live file
// for a leftover: the live run then finds its temporary name gone or leading elsewhere,
// and writes the track again instead of publishing what it did not write.
#include "files.h"
#include "sysfiles.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif
#ifdef __APPLE__
#include <sys/random.h> // getentropy(), which Linux declares in unistd.h
#endif

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

void pausems(int ms)
{
    struct timespec pause = {ms / 1000, ms % 1000 * 1000000L};
    nanosleep(&pause, nullptr);
}

// A network share finishes a close after close() returns, and until it has, refuses to
// rename or remove the file (EBUSY), as it does while another program holds it.
static bool stillbusy(int *tries)
{
    return errno == EBUSY && waitbusy(tries);
}

FILE *openread(const char *name)
{
    for (int tries = 0;;) {
        int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 || !stillbusy(&tries))
            return streamof(fd, "rb");
    }
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

#ifdef __linux__
// The file system's magic number, whatever the width and sign of f_type on this system.
static unsigned long fstype(const struct statfs &fs)
{
    return static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFUL;
}

// The kernel's copy costs more cpu than two copies through a buffer that stays in the
// processor's cache where the kernel has only its page-by-page splice to offer: on a
// local disk (ext4, xfs at rep 2: 1.16 and 1.20 of the buffer's cpu; btrfs 1.17 of its
// wall time; no local file system can share blocks here, as a loop section starts on no
// block boundary). It wins where the data would otherwise cross a network and the server
// may copy it (NFS 4.2, SMB3, Ceph: 1 to 2 MB on the network instead of 890 for a run at
// rep 1, 0.29 and 0.58 of the wall time), on FUSE (a server that copies: 0.32 to 0.35 of
// the wall time; sshfs: the same wall time, more cpu) and in memory (tmpfs, ramfs: 0.89
// to 0.91 of the cpu at rep 10). Anything else, or unknown, gets the buffer.
bool kernelcopywins(FILE *f)
{
    static const unsigned long wins[] = {
        0x6969,     // NFS
        0xFF534D42, // SMB (cifs)
        0xFE534D42, // SMB2 and 3
        0x00C36400, // Ceph
        0x65735546, // FUSE
        0x01021994, // tmpfs
        0x858458F6, // ramfs
    };
    struct statfs fs;

    if (fstatfs(fileno(f), &fs) != 0)
        return false;
    for (unsigned long type : wins)
        if (fstype(fs) == type)
            return true;
    return false;
}
#else
bool kernelcopywins(FILE *)
{
    return false;
}
#endif

long long copyrange(FILE *from, long long pos, FILE *to, long long n)
{
#ifdef __linux__
    off_t at = static_cast<off_t>(pos);
    return copy_file_range(fileno(from), &at, fileno(to), nullptr, static_cast<size_t>(n), 0);
#else
    (void)from, (void)pos, (void)to, (void)n;
    errno = ENOSYS;
    return -1;
#endif
}

// A link at name is replaced, never written through: it keeps nothing of its target.
// Whether the user may write the file is asked of the file system itself, by opening it
// for writing (never truncating it): a network file system (sshfs) answers access()
// without asking its server.
bool mayreplace(const char *name, int *mode)
{
    struct stat st;

    *mode = -1;
    if (lstat(name, &st) != 0 || !S_ISREG(st.st_mode))
        return true; // nothing to keep; what is in the way is reported when it is hit
    int fd = open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EPERM))
        return false;
    if (fd >= 0)
        close(fd);
    *mode = static_cast<int>(st.st_mode & 07777);
    return true;
}

// getentropy() is a system call that Linux before 3.17 lacks (an older NAS, a long-term
// enterprise system): there the kernel's random device serves.
bool randomnumber(uint64_t *n)
{
    if (getentropy(n, sizeof *n) == 0)
        return true;
    if (errno != ENOSYS)
        return false;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t got = read(fd, n, sizeof *n);
    int err = errno;
    close(fd);
    errno = got < 0 ? err : EIO;
    return got == static_cast<ssize_t>(sizeof *n);
}

void eachname(void (*fn)(const char *name))
{
    DIR *dir = opendir(".");

    if (dir == nullptr)
        return;
    for (struct dirent *e; (e = readdir(dir)) != nullptr;)
        fn(e->d_name);
    closedir(dir);
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
    // A lock held elsewhere answers EWOULDBLOCK, or EACCES on the kernel's SMB client.
    int held = flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    if (held == EWOULDBLOCK || held == EACCES)
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
        close(fd);
        if (err != EEXIST) // a name no other run ever makes: still ours once closed
            unlink(name);
        errno = err;
    }
    return f;
}

static bool leadsto(const char *name, const struct stat &was)
{
    struct stat named;

    return lstat(name, &named) == 0 && samefile(was, named);
}

// Removes name, if it still leads to the file was, while that file is open and locked:
// no other run on this machine can take the name meanwhile, and a FUSE file system
// (sshfs) removes for itself, at the close, what it keeps of a file removed while open.
// *busy says that the file system refused because the file is open: close it, then
// call gone().
static bool removeopen(const char *name, const struct stat &was, bool *busy)
{
    *busy = false;
    if (!leadsto(name, was))
        return false;
    if (unlink(name) == 0)
        return true;
    *busy = errno == EBUSY;
    return false;
}

// Removes name, just closed, if it still leads to the file that was open.
static bool gone(const char *name, const struct stat &was)
{
    for (int tries = 0;;) {
        if (!leadsto(name, was))
            return false;
        if (unlink(name) == 0)
            return true;
        if (!stillbusy(&tries))
            return false;
    }
}

// Opened for writing, as a lock must be on NFS, where flock() takes a byte-range lock;
// read-only where writing is refused (a file another user left, a read-only share).
bool removeleftover(const char *name)
{
    struct stat held;
    int fd = open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);

    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS))
        fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool busy = false, removed = false;
    if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
        removed = removeopen(name, held, &busy);
    close(fd);
    return busy ? gone(name, held) : removed;
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

#ifdef __linux__
// The Linux kernel's SMB client (cifs, smb3), asked to rename over a file that another
// program holds open, is refused by the server; it then deletes that file itself, which
// the server does only once the holder lets go, and tries again, which fails too. So a
// failed replacement there would doom the very file it was to keep.
static bool deletesheldtarget(int fd)
{
    struct statfs fs;

    return fstatfs(fd, &fs) == 0 && (fstype(fs) == 0xFF534D42 || fstype(fs) == 0xFE534D42);
}

static bool renamenoreplace(const char *from, const char *to)
{
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0;
}
#else
static bool deletesheldtarget(int)
{
    return false;
}

static bool renamenoreplace(const char *, const char *)
{
    errno = ENOSYS;
    return false;
}
#endif

// Where the system or the file system has no rename that never replaces (Linux before
// 3.15, other systems), the name is looked at first: another run may come between.
bool renamenew(const char *from, const char *to)
{
    struct stat st;

    if (renamenoreplace(from, to))
        return true;
    if (errno != ENOSYS && errno != EINVAL)
        return false;
    if (lstat(to, &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return errno == ENOENT && rename(from, to) == 0;
}

// Where the client would delete a held file (above), no rename is ever made over one:
// the older track is first moved aside under a name of its own, which the server allows
// while a player holds it, and the new file then takes a name that nothing has. The
// older one goes only once the new one has its name (a holder keeps reading it until it
// lets go, as on a local disk); else it is put back. A holder that forbids even the move
// (a Windows client) gets the busy budget, then EBUSY, and its file stays where it is.
// A run killed between the two renames leaves the older track aside: the next run puts
// it back, or removes it if the track has been written since. Another run that puts a
// track in the freed name first has its track moved aside in turn, a few times at most.
static bool swapin(const char *from, const char *to)
{
    char aside[64];
    struct stat st;

    for (int round = 0; round < 4; round++) {
        bool old = lstat(to, &st) == 0;
        if (!old && errno != ENOENT)
            return false;
        if (old && !S_ISREG(st.st_mode)) // a link, or what the rename reports: none held
            return rename(from, to) == 0;
        if (old && !nameaside(aside, sizeof aside, to))
            return false;
        for (int tries = 0; old && rename(to, aside) != 0;) {
            if (errno == ENOENT) // another run moved it meanwhile
                old = false;
            else if (!stillbusy(&tries))
                return false;
        }
        if (renamenew(from, to)) {
            if (old)
                unlink(aside);
            return true;
        }
        int err = errno;
        if (old && !renamenew(aside, to) && errno == EEXIST)
            unlink(aside); // an older version of the track another run has written since
        if (err != EEXIST) {
            errno = err;
            return false;
        }
    }
    errno = EEXIST;
    return false;
}

// While f is open and locked, its name still leading to it means nobody on this machine
// will take it; a run on another machine that took it has removed the name, and no run
// anywhere makes a file of our name. So the rename moves our file or finds nothing.
// rename() replaces a link at the target itself, never what it points to.
bool movetrack(FILE *f, int mode, const char *from, const char *to, int *closeerr)
{
    struct stat mine, named;
    int fd = fileno(f);

    *closeerr = 0;
    int err = 0;
    if (fstat(fd, &mine) != 0 || lstat(from, &named) != 0)
        err = errno; // ENOENT: its name is gone
    else if (!samefile(mine, named))
        err = ENOENT; // its name leads to another file
    if (err != 0) {
        fclose(f);
        errno = err;
        return false;
    }
    // Not every file system keeps modes (FAT, some shares): the track still counts.
    if (mode >= 0 && static_cast<int>(mine.st_mode & 07777) != mode)
        fchmod(fd, static_cast<mode_t>(mode));
    bool swap = deletesheldtarget(fd);
    bool moved = swap ? swapin(from, to) : rename(from, to) == 0;
    if (!moved && errno == EBUSY && !swap) { // a share: closed first, the lock gone for a moment
        if (fclose(f) != 0)
            return false;
        f = nullptr;
        for (int tries = 0;;) {
            moved = rename(from, to) == 0;
            if (moved || !stillbusy(&tries))
                break;
        }
    }
    err = errno;
    if (f != nullptr && fclose(f) != 0 && moved)
        *closeerr = errno; // every byte was checked before: the track is whole, but say so
    errno = err;
    return moved;
}

// The name goes while the file is still open and locked; a share that will not remove
// an open file has it closed first. No run makes a file of our names, so the name leads
// to this file or, if another run took it, to nothing.
void droptemp(FILE *f, const char *name)
{
    bool busy = *name != '\0' && unlink(name) != 0 && errno == EBUSY;

    if (f != nullptr)
        fclose(f);
    for (int tries = 0; busy && unlink(name) != 0;)
        busy = stillbusy(&tries);
}
