// What the track file's life asks of the system, in files-posix.cpp or files-win32.cpp;
// only files.cpp uses it. A track file is made under a name of its own, or none, and is
// renamed or removed while it is still open and locked, so that no other run takes it
// meanwhile; it is closed first only where the file system refuses (a network share
// answers EBUSY).
#ifndef DORVU_SYSFILES_H
#define DORVU_SYSFILES_H

#include <cstdint>
#include <cstdio>

// Another program that holds a file (a player, a virus scanner, an indexer), or a share
// still finishing a close, often lets go within a moment: a "busy" answer to an open or
// a rename, on both systems, or to a removal on POSIX, is tried again after growing
// pauses. Pauses before the next try and says true, or says false once the budget of
// about 1.3 seconds is spent. *tries starts at 0.
bool waitbusy(int *tries);

// Sleeps ms milliseconds.
void pausems(int ms);

// Whether name, if anything has it, may be replaced by the user: fails with EACCES (or
// EPERM) for a file the user may not write, as the file system says when asked to open
// it for writing. *mode is then its
// permission bits, or -1 where there is none to keep (nothing, or a link, has the name).
bool mayreplace(const char *name, int *mode);

// A 64-bit number from the system's random source, for a temporary name no other run,
// on this machine or another, picks.
bool randomnumber(uint64_t *n);

// Calls fn with each name in the current directory; a directory that cannot be read
// gives none.
void eachname(void (*fn)(const char *name));

// A new file for writing in the current directory that has no name, or none where the
// system or the file system cannot make one (or should not: see files-win32.cpp).
FILE *createnameless();

// Gives the nameless file f the name; fails with EEXIST if anything has that name.
bool linkas(FILE *f, const char *name);

// Creates the temporary file name for writing, only if nothing, not even a dangling
// link, has that name; fails with EEXIST if anything has, or a live run holds it.
FILE *createnew(const char *name);

// Removes the temporary file name if a run that died left it, while holding its lock.
// What a live run holds, and anything not a plain file, stays.
bool removeleftover(const char *name);

// Checks, as closing would, that every byte written to f reached the file; f stays open.
bool flushtrack(FILE *f);

// Renames from to to only if nothing has that name: fails with EEXIST if anything has.
bool renamenew(const char *from, const char *to);

// The name an older file of track has while it is moved aside (files-posix.cpp), one that
// no other run picks and that a later run's sweep puts back or removes.
bool nameaside(char *buf, size_t size, const char *track);

// Gives the file f, called from, the permission bits mode (if not -1) and then the name
// to, atomically replacing whatever had it; f is closed either way, after the rename
// where the file system allows. Fails with ENOENT if from no longer leads to f's file:
// another run took it for a dead run's and removed it (a run on another machine, which
// does not see our lock, or a run on any machine in the moment a share had the file
// closed first). *closeerr is the reason the close failed after the file got its name,
// or 0.
bool movetrack(FILE *f, int mode, const char *from, const char *to, int *closeerr);

// Removes f's temporary name, if it has one ("" if not), then closes f, if any.
void droptemp(FILE *f, const char *name);

#endif
