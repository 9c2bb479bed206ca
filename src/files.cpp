#include "files.h"

#include "stop.h"

#include <cerrno>

const char archivename[] = "dorvu.dat";
FILE *archive;
FILE *out;
const char *outname;

static char tmpname[32]; // the track file's temporary name, "" while it has none

static void tempname(char *buf, int n)
{
    snprintf(buf, sizeof tmpname, ".dorvu-%03d.tmp", n);
}

// Removes, once a run, what runs that died left under our temporary names, so that
// leftovers never pile up; a live run's file stays.
static void sweep()
{
    static bool swept;
    char name[sizeof tmpname];

    if (swept)
        return;
    swept = true;
    for (int n = 0; n < 1000; n++) {
        tempname(name, n);
        removeleftover(name);
    }
}

// Gives the track file the first free temporary name beside its final one, by take().
// The names never end in ".wav"; a name that anything else has is stepped over.
static void nametemp(bool (*take)(const char *name))
{
    sweep();
    for (int n = 0; n < 1000; n++) {
        tempname(tmpname, n);
        if (take(tmpname))
            return;
        if (errno != EEXIST) {
            int err = errno;
            tmpname[0] = '\0';
            fatal(outname, "cannot create", err);
        }
    }
    tmpname[0] = '\0';
    fatal(outname, "cannot create: 1000 temporary files .dorvu-*.tmp are in the way", 0);
}

static bool createnamed(const char *name)
{
    out = createnew(name);
    return out != nullptr;
}

static bool linknameless(const char *name)
{
    return linkas(out, name);
}

void createtrack(const char *name)
{
    outname = name;
    out = createnameless();
    if (out == nullptr)
        nametemp(createnamed);
    setvbuf(out, nullptr, _IONBF, 0); // chunks are large: write straight from ours
}

// The file stays open until it has its final name: while it is open, no other run
// takes its temporary name for a dead run's leftover.
void publishtrack()
{
    if (!flushtrack(out))
        fatal(outname, "write failed", errno);
    if (tmpname[0] == '\0')
        nametemp(linknameless);
    checkstop();
    if (!movetrack(out, tmpname, outname)) {
        if (errno == EBUSY) // the user can close that program and run again
            fatal(outname, "cannot replace: the file is open in another program", 0);
        fatal(outname, "cannot create", errno);
    }
    tmpname[0] = '\0';

    FILE *f = out;
    out = nullptr;
    if (fclose(f) != 0)
        fatal(outname, "write failed", errno);
}

void droptrack()
{
    if (out != nullptr)
        droptemp(out, tmpname); // a nameless file is gone with it
    out = nullptr;
    tmpname[0] = '\0';
}
