// The track file the run writes, and how files are opened and read on this system. A
// track file gets its final name only when it is complete, so a run that fails or is
// stopped never leaves a short WAV file behind and never spoils a good file from an
// earlier run.
#ifndef DORVU_FILES_H
#define DORVU_FILES_H

#include <cstdio>

extern FILE *trackfile;       // the track file being written, or none
extern const char *trackname; // the name it gets when complete

// Creates the file of a track to be called name, in the current directory; a file of
// that name the user may not write stops the run instead. The first call of a run
// removes first what runs that died left under our temporary names. Where the system allows it
// the file vanishes with the process however it ends, even by kill -9; elsewhere it has
// a temporary name of its own, .dorvu-<16 hex digits>.tmp, and is removed on any
// failure or stop, and a later run removes it if a kill left it.
void createtrack(const char *name);

// Closing is writing: checks that every byte reached the file, then gives the complete
// file its final name, replacing any file or link of that name (a link is never
// written through) and keeping the permission bits of the file it replaces. Says false
// if another run took the file for a dead run's leftover and removed it, which a run on
// another machine can, as it does not see our lock: the track is to be written again.
// On the last try that stops the run instead.
bool publishtrack(bool lasttry);

// Closes and removes the track being written, if any. Finished tracks stay.
void droptrack();

// System-dependent, in files-posix.cpp or files-win32.cpp. Where a file is held by
// another program, they wait a moment for it, then fail with EBUSY.

// Opens name for reading without ever waiting for a writer (a FIFO would).
FILE *openread(const char *name);

// The size of f if it is a regular file; else -1, with errno the system's reason for not
// telling, or 0 if f is no regular file.
long long regularsize(FILE *f);

// Whether copyrange() is worth asking for, from the kind of file system that holds f:
// where it beats copying through the tool's buffer, as measured (files-posix.cpp).
bool kernelcopywins(FILE *f);

// Copies up to n bytes of from, at offset pos, to where to is written next, inside the
// system, without passing them through the process: Linux's copy_file_range(), which a
// network file system (NFS 4.2, SMB3) hands to its server. Says how many it copied, 0
// if none, or -1 with errno the system's reason; ENOSYS where the system has no such
// call (Windows, which has none that copies into an open file we could prove).
long long copyrange(FILE *from, long long pos, FILE *to, long long n);

#endif
