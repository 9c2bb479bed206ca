#include "files.h"

#include "bgmtable.h"
#include "stop.h"
#include "sysfiles.h"

#include <cerrno>
#include <cstring>

FILE *trackfile;
const char *trackname;

static char tmpname[32]; // the track file's temporary name, "" while it has none
static int keepmode;     // the permission bits of the file it replaces, or -1

// What follows ".dorvu-" and 16 lower-case hex digits in name, if it starts so. Exactly
// these, case and all: on a file system that ignores case, a user's
// ".DORVU-0123456789ABCDEF.TMP" is not ours.
static const char *afterours(const char *name)
{
    static const char head[] = ".dorvu-";
    const size_t digits = 16;

    if (strncmp(name, head, sizeof head - 1) != 0 ||
        strspn(name + sizeof head - 1, "0123456789abcdef") != digits)
        return nullptr;
    return name + sizeof head - 1 + digits;
}

// Ours are ".dorvu-" + 16 hex digits + ".tmp".
static bool ourtemp(const char *name)
{
    const char *rest = afterours(name);

    return rest != nullptr && strcmp(rest, ".tmp") == 0;
}

bool waitbusy(int *tries)
{
    if (*tries == 7) // 10 + 20 + ... + 640 ms
        return false;
    pausems(10 << (*tries)++);
    return true;
}

bool nameaside(char *buf, size_t size, const char *track)
{
    uint64_t n;

    if (!randomnumber(&n))
        return false;
    snprintf(buf, size, ".dorvu-%016llx.%s.old", static_cast<unsigned long long>(n), track);
    return true;
}

// The track whose older version name is, if it is one moved aside: ".dorvu-" + 16 hex
// digits + "." + the name of a track of either map + ".old".
static const char *asideof(const char *name)
{
    const char *rest = afterours(name);

    if (rest == nullptr || *rest++ != '.')
        return nullptr;
    for (const auto &names : bgmfile)
        for (const char *track : names) {
            size_t len = strlen(track);
            if (strncmp(rest, track, len) == 0 && strcmp(rest + len, ".old") == 0)
                return track;
        }
    return nullptr;
}

// An older track moved aside by a run that died before it finished replacing it goes
// back, if nothing has taken the track's name since; otherwise it is an older version
// of a track written since, and goes. A live run in that moment finds either its name
// free or a track there, which it moves aside in turn.
static void sweepone(const char *name)
{
    checkstop(); // a stop asked for during the sweep is honoured at once
    if (ourtemp(name)) {
        removeleftover(name);
        return;
    }
    const char *track = asideof(name);
    if (track != nullptr && !renamenew(name, track) && errno == EEXIST)
        remove(name);
}

// Removes, once a run and before the first track is written, what runs that died left
// under our temporary names, so that leftovers never pile up nor fill the disk the
// tracks need, and puts back what they had moved aside; a live run's file stays.
static void sweep()
{
    static bool swept;

    if (swept)
        return;
    swept = true;
    eachname(sweepone);
}

// Gives the track file a temporary name of its own beside its final one, by take(). The
// names never end in ".wav". One in 2^64 draws meets a name that anything else has; it
// is stepped over, a few times at most.
static void nametemp(bool (*take)(const char *name))
{
    for (int tries = 0; tries < 8; tries++) {
        uint64_t n;
        if (!randomnumber(&n)) {
            int err = errno;
            tmpname[0] = '\0';
            fatal(trackname, "cannot create", err);
        }
        snprintf(tmpname, sizeof tmpname, ".dorvu-%016llx.tmp", static_cast<unsigned long long>(n));
        if (take(tmpname))
            return;
        if (errno != EEXIST)
            break;
    }
    int err = errno;
    tmpname[0] = '\0';
    fatal(trackname, "cannot create", err);
}

static bool createnamed(const char *name)
{
    trackfile = createnew(name);
    return trackfile != nullptr;
}

static bool linknameless(const char *name)
{
    return linkas(trackfile, name);
}

void createtrack(const char *name)
{
    sweep();
    trackname = name;
    if (!mayreplace(name, &keepmode))
        fatal(name, "cannot replace", errno);
    trackfile = createnameless();
    if (trackfile == nullptr)
        nametemp(createnamed);
    setvbuf(trackfile, nullptr, _IONBF, 0); // chunks are large: write straight from ours
}

// The file gets its final name while it is still open, and locked: meanwhile no other
// run on this machine takes its temporary name for a dead run's leftover.
bool publishtrack(bool lasttry)
{
    if (!flushtrack(trackfile))
        fatal(trackname, "write failed", errno);
    if (tmpname[0] == '\0')
        nametemp(linknameless);
    checkstop();
    FILE *f = trackfile;
    trackfile = nullptr; // closed by movetrack, whatever it says
    int closeerr;
    bool moved = movetrack(f, keepmode, tmpname, trackname, &closeerr);
    if (moved)
        tmpname[0] = '\0';
    if (closeerr != 0) // every byte was checked: the track has its name, but say so
        fatal(trackname, "written, but closing it failed", closeerr);
    if (!moved) {
        if (errno == EBUSY) // the user can close that program and run again
            fatal(trackname, "cannot replace: the file is open in another program", 0);
        if (errno == ENOENT) {
            tmpname[0] = '\0'; // no longer ours to remove
            if (!lasttry)
                return false;
            fatal(trackname, "cannot create: its temporary file was removed by another program", 0);
        }
        fatal(trackname, "cannot create", errno);
    }
    tmpname[0] = '\0';
    return true;
}

void droptrack()
{
    if (trackfile != nullptr || tmpname[0] != '\0')
        droptemp(trackfile, tmpname); // a nameless file is gone with it
    trackfile = nullptr;
    tmpname[0] = '\0';
}
