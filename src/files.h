// The run's two files: the archive it reads, and the track file it writes. A track file
// gets its final name only when it is complete, so a run that fails or is stopped never
// leaves a short WAV file behind and never spoils a good file from an earlier run.
#ifndef DORVU_FILES_H
#define DORVU_FILES_H

#include <cstdio>

extern const char archivename[]; // "dorvu.dat"
extern FILE *archive;            // open for reading during the run
extern FILE *out;                // the track file being written, or none
extern const char *outname;      // the name it gets when complete

// Creates the file of a track to be called name, in the current directory. Where the
// system allows it the file has no name at all while it is written, so it vanishes
// whatever happens to the process, even kill -9 or a power cut; elsewhere it has a
// hidden temporary name, .dorvu-NNN.tmp, and is removed on any failure or stop.
void createtrack(const char *name);

// Closing is writing: checks that every byte reached the file, then gives the complete
// file its final name, replacing any file or link of that name (a link is never
// written through).
void publishtrack();

// Closes and removes the track being written, if any. Finished tracks stay.
void droptrack();

// The rest is system-dependent: files-posix.cpp or files-win32.cpp.

// Opens name for reading without ever waiting (a FIFO would wait for a writer).
FILE *openread(const char *name);

// The size of f if it is a regular file, else -1.
long long regularsize(FILE *f);

// A new file for writing in the current directory that has no name, or none where the
// system or the file system cannot make one.
FILE *createnameless();

// Gives the nameless file f the name; fails with EEXIST if anything has that name.
bool linkas(FILE *f, const char *name);

// Creates name for writing only if nothing, not even a dangling link, has that name.
FILE *createnew(const char *name);

// Moves a file over another name atomically, replacing whatever had that name.
bool replacefile(const char *from, const char *to);

#endif
