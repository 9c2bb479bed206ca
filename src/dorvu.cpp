// dorvu: extracts the twenty music tracks of "dorvu.dat" into WAV files in the current
// directory. Each file plays its track once, then the loop section rep - 1 more times.
#include "dorvu.h"

#include "bgmtable.h"
#include "copytrack.h"
#include "files.h"
#include "stop.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

int map = 0;

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

// Opens the archive and makes sure it holds every byte the table names before any output
// file is touched. Only a missing archive gets the quiet message users know.
static void openarchive()
{
    archive = openread(archivename);
    if (archive == nullptr) {
        if (errno == ENOENT) {
            fputs("dorvu.dat not found.", stdout);
            fflush(stdout);
            exit(1);
        }
        fatal(archivename, "cannot open", errno);
    }
    setvbuf(archive, nullptr, _IONBF, 0); // chunks are large: read straight into ours

    long long size = regularsize(archive);
    if (size < 0)
        fatal(archivename, "not a regular file", 0);
    if (size < archivesize) {
        static char msg[80];
        snprintf(msg, sizeof msg, "too short: %lld bytes, needs at least %ld", size,
                 static_cast<long>(archivesize));
        fatal(archivename, msg, 0);
    }
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
    printf("rep = %d , map = %d\n", rep, map);
    fflush(stdout);
    openarchive();

    for (int i = 0; i < ntracks; i++) {
        printf("Create %s ...\n", bgmfile[map][i]);
        fflush(stdout);
        checkstop();
        createtrack(bgmfile[map][i]);
        copytrack(i);
        publishtrack();
    }
    fclose(archive);
    archive = nullptr;

    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "dorvu: standard output: write failed\n");
        return endrun(1);
    }
    return endrun(0);
}
