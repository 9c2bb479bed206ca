// dorvu: extracts the twenty music tracks of "dorvu.dat" into WAV files in the current
// directory. Each file plays its track once, then the loop section rep - 1 more times.
//
// Each track is written under a temporary name and moved over its final name only when
// it is complete, so a failed or interrupted run never leaves a short WAV file behind and
// never destroys a good file from an earlier run.
#include "dorvu.h"

#include "bgmtable.h"
#include "copytrack.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

int rep = 2;
int map = 0;
FILE *archive;
FILE *out;
const char *outname;
const char archivename[] = "dorvu.dat";
volatile std::sig_atomic_t stopsig;

static char tmpname[32]; // temporary name of the track being written, "" when none

// atoi() for the texts it defines: leading white space, an optional sign, then decimal
// digits up to the first non-digit; no digits gives 0. Values beyond int saturate, so a
// huge number can never wrap into the valid range.
int toint(const char *s)
{
    long long v = 0;
    bool neg = false;

    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        s++;
    if (*s == '+' || *s == '-')
        neg = *s++ == '-';
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > INT_MAX)
            v = static_cast<long long>(INT_MAX) + 1; // past any limit; keeps v small
    }
    if (neg)
        v = -v;
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

// A switch is any argument that starts with '-' (so "-3" is a switch, not a number); it
// selects the second naming scheme. Every other argument sets rep, and the last one wins.
void parseargs(int argc, char **argv)
{
    rep = 2;
    map = 0;
    for (int i = 1; i < argc; i++) {
        if (argv[i][0] == '-')
            map = 1;
        else
            rep = toint(argv[i]);
    }
}

// Closes and removes the file being written, if any. Finished tracks stay.
static void cleanup()
{
    if (out != nullptr) {
        fclose(out);
        out = nullptr;
    }
    if (tmpname[0] != '\0') {
        remove(tmpname);
        tmpname[0] = '\0';
    }
}

void fatal(const char *file, const char *what, int err)
{
    fflush(stdout);
    if (err != 0)
        fprintf(stderr, "dorvu: %s: %s: %s\n", file, what, strerror(err));
    else
        fprintf(stderr, "dorvu: %s: %s\n", file, what);
    cleanup();
    exit(1);
}

static void onsignal(int sig)
{
    stopsig = sig;
}

void checkstop()
{
    if (stopsig == 0)
        return;
    fflush(stdout);
    fprintf(stderr, "dorvu: interrupted\n");
    cleanup();
    exit(128 + stopsig);
}

static void catchsignals()
{
    signal(SIGINT, onsignal);
    signal(SIGTERM, onsignal);
#ifdef SIGHUP
    signal(SIGHUP, onsignal);
#endif
#ifdef SIGPIPE
    signal(SIGPIPE, onsignal); // a closed pipe on standard output
#endif
}

// Opens the archive and makes sure it holds every byte the table names before any output
// file is touched. Only a missing archive gets the quiet message users know.
static void openarchive()
{
#ifndef _WIN32
    // Opening a FIFO would wait for a writer, so look before opening. The check that
    // counts is the one on the open stream below.
    struct stat named;
    if (stat(archivename, &named) == 0 && !S_ISREG(named.st_mode))
        fatal(archivename, "not a regular file", 0);
#endif
    archive = fopen(archivename, "rb");
    if (archive == nullptr) {
        if (errno == ENOENT) {
            fputs("dorvu.dat not found.", stdout);
            fflush(stdout);
            exit(1);
        }
        fatal(archivename, "cannot open", errno);
    }
    setvbuf(archive, nullptr, _IONBF, 0); // chunks are large: read straight into ours

#ifdef _WIN32
    struct __stat64 st;
    if (_fstat64(_fileno(archive), &st) != 0)
#else
    struct stat st;
    if (fstat(fileno(archive), &st) != 0)
#endif
        fatal(archivename, "cannot open", errno);
    if (!S_ISREG(st.st_mode))
        fatal(archivename, "not a regular file", 0);
    if (st.st_size < archivesize) {
        static char msg[80];
        snprintf(msg, sizeof msg, "too short: %lld bytes, needs at least %ld",
                 static_cast<long long>(st.st_size), static_cast<long>(archivesize));
        fatal(archivename, msg, 0);
    }
}

// Creates name for writing only if nothing, not even a dangling link, has that name.
static FILE *createnew(const char *name)
{
#ifdef _WIN32
    int fd = _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    FILE *f = _fdopen(fd, "wb");
    if (f == nullptr)
        _close(fd);
    return f;
#else
    return fopen(name, "wbx");
#endif
}

// Moves the finished file over its final name, replacing any file of that name. A link
// at that name is replaced, never followed.
static bool replacefile(const char *from, const char *to)
{
#ifdef _WIN32
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING))
        return true;
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
#else
    return rename(from, to) == 0;
#endif
}

// Opens out under a fresh temporary name beside the final one. The names never end in
// ".wav", and a name left by a killed run is skipped, not reused.
static void opentemp()
{
    static char name[sizeof tmpname];

    for (int n = 0; n < 1000; n++) {
        snprintf(name, sizeof name, ".dorvu-%03d.tmp", n);
        out = createnew(name);
        if (out != nullptr) {
            memcpy(tmpname, name, sizeof tmpname);
            setvbuf(out, nullptr, _IONBF, 0);
            return;
        }
        if (errno != EEXIST)
            fatal(outname, "cannot create", errno);
    }
    fatal(outname, "cannot create: 1000 temporary files .dorvu-*.tmp are in the way", 0);
}

// Closing is writing: a failed flush or close means the file is not what we wrote.
static void finishtrack()
{
    FILE *f = out;

    if (fflush(f) != 0 || ferror(f))
        fatal(outname, "write failed", errno);
    out = nullptr;
    if (fclose(f) != 0)
        fatal(outname, "write failed", errno);
    checkstop();
    if (!replacefile(tmpname, outname))
        fatal(outname, "cannot create", errno);
    tmpname[0] = '\0';
}

int dorvu(int argc, char **argv)
{
    fixtable();
    parseargs(argc, argv);
    if (rep <= 0 || rep > 10) {
        fputs("REP must be 1-10\n", stdout);
        return 1;
    }
    printf("rep = %d , map = %d\n", rep, map);
    fflush(stdout);
    openarchive();
    catchsignals();

    for (int i = 0; i < ntracks; i++) {
        outname = bgmfile[map][i];
        printf("Create %s ...\n", outname);
        fflush(stdout);
        checkstop();
        opentemp();
        copytrack(i);
        finishtrack();
    }
    fclose(archive);
    archive = nullptr;

    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "dorvu: standard output: write failed\n");
        return 1;
    }
    return 0;
}
