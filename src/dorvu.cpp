// dorvu: extracts the twenty music tracks of "dorvu.dat" into WAV files in the current
// directory. Each file plays its track once, then the loop section rep - 1 more times.
#include "dorvu.h"

#include "bgmtable.h"
#include "copytrack.h"
#include "files.h"
#include "progress.h"
#include "stop.h"
#include "wavheader.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int rep = 2;
int map = 0;

const char archivename[] = "dorvu.dat";
FILE *archivefile;

static int outerr; // why writing the progress lines first failed, or 0

// Each progress line goes out as its work starts. A failure to write one does not stop
// the work; its reason is kept and reported at the end.
static void flushout(int printed)
{
    if ((printed < 0 || fflush(stdout) != 0) && outerr == 0)
        outerr = errno;
}

// atoi() with the overflow defined: strtoll() skips the same white space, takes the same
// sign and stops at the same first non-digit, and it saturates; so does the clamp to int,
// so a huge number can never wrap into the valid range.
int toint(const char *s)
{
    long long v = strtoll(s, nullptr, 10);

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

// Opens the archive and makes sure it holds every byte the table names before any output
// file is touched. Only a missing archive gets the quiet message users know.
static void openarchive()
{
    archivefile = openread(archivename);
    if (archivefile == nullptr) {
        if (errno == ENOENT) {
            fputs("dorvu.dat not found.", stdout);
            fflush(stdout);
            exit(endrun(1)); // a reader gone away (SIGPIPE) still ends it by that signal
        }
        if (errno == EBUSY)
            fatal(archivename, "cannot open: the file is open in another program", 0);
        fatal(archivename, "cannot open", errno);
    }
    setvbuf(archivefile, nullptr, _IONBF, 0); // chunks are large: read straight into ours

    long long size = regularsize(archivefile);
    if (size < 0)
        fatal(archivename, errno != 0 ? "cannot read" : "not a regular file", errno);
    if (size < archivesize) {
        static char msg[80];
        snprintf(msg, sizeof msg, "too short: %lld bytes, needs at least %ld", size,
                 static_cast<long>(archivesize));
        fatal(archivename, msg, 0);
    }
}

// A track whose temporary file another run took (see publishtrack) is written again, a
// few times at most.
static void writetrack(int i)
{
    const int tries = 3;

    for (int t = 1;; t++) {
        trackprogress(bgmfile[map][i], headersize + datasize(i));
        createtrack(bgmfile[map][i]);
        copytrack(i);
        if (publishtrack(t == tries))
            break;
    }
    clearprogress(); // before the next line on standard output
}

int dorvu(int argc, char **argv)
{
    fixtable();
    beginrun();
    parseargs(argc, argv);
    if (rep <= 0 || rep > 10) {
        fputs("REP must be 1-10\n", stdout);
        return endrun(1);
    }
    flushout(printf("rep = %d , map = %d\n", rep, map));
    openarchive();

    long long runbytes = 0;
    for (int i = 0; i < ntracks; i++)
        runbytes += headersize + datasize(i);
    startprogress(runbytes);

    for (int i = 0; i < ntracks; i++) {
        flushout(printf("Create %s ...\n", bgmfile[map][i]));
        checkstop();
        writetrack(i);
    }
    fclose(archivefile);
    archivefile = nullptr;

    if (outerr != 0) {
        fprintf(stderr, "dorvu: standard output: write failed: %s\n", strerror(outerr));
        return endrun(1);
    }
    return endrun(0);
}
