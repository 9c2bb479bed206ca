// The run: arguments, then the twenty tracks.
#ifndef DORVU_DORVU_H
#define DORVU_DORVU_H

#include <cstdio>

extern int rep; // plays of the loop section in each file, 1..10
extern int map; // naming scheme: index into bgmfile

extern const char archivename[]; // "dorvu.dat"
extern FILE *archivefile;        // open for reading during the run

int toint(const char *s);
void parseargs(int argc, char **argv);
int dorvu(int argc, char **argv);

#endif
