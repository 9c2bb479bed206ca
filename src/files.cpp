#include "files.h"

#include "stop.h"

#include <cerrno>

const char archivename[] = "dorvu.dat";
FILE *archive;
FILE *out;
const char *outname;

static char tmpname[32]; // the track file's temporary name, "" while it has none

// Gives the track file the first free temporary name beside its final one, by take().
// The names never end in ".wav"; a name left by a killed run, or anything else of that
// name, is stepped over, never opened or reused.
static void nametemp(bool (*take)(const char *name))
{
    for (int n = 0; n < 1000; n++) {
        snprintf(tmpname, sizeof tmpname, ".dorvu-%03d.tmp", n);
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

void publishtrack()
{
    FILE *f = out;

    if (fflush(f) != 0 || ferror(f))
        fatal(outname, "write failed", errno);
    if (tmpname[0] == '\0')
        nametemp(linknameless);
    out = nullptr;
    if (fclose(f) != 0)
        fatal(outname, "write failed", errno);
    checkstop();
    if (!replacefile(tmpname, outname))
        fatal(outname, "cannot create", errno);
    tmpname[0] = '\0';
}

void droptrack()
{
    if (out != nullptr) {
        fclose(out); // a nameless file is gone with it
        out = nullptr;
    }
    if (tmpname[0] != '\0') {
        remove(tmpname);
        tmpname[0] = '\0';
    }
}
