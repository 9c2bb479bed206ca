// The run's state, shared by the driver and the copier.
#ifndef DORVU_DORVU_H
#define DORVU_DORVU_H

#include <csignal>
#include <cstdio>

extern int rep; // plays of the loop section in each file, 1..10
extern int map; // naming scheme: index into bgmfile

extern FILE *archive;       // "dorvu.dat", open for reading during the run
extern FILE *out;           // the file of the track being written
extern const char *outname; // that track's final name
extern const char archivename[];

extern volatile std::sig_atomic_t stopsig; // signal that asked us to stop, or 0

int toint(const char *s);
void parseargs(int argc, char **argv);
int dorvu(int argc, char **argv);

// Reports "dorvu: file: what[: strerror(err)]" on standard error, removes the file being
// written and exits with status 1. err 0 means there is no system reason to give.
[[noreturn]] void fatal(const char *file, const char *what, int err);

// Cleans up and exits with 128 + the signal's number if a stop was asked for.
void checkstop();

#endif
