// The run: arguments, then the twenty tracks.
#ifndef DORVU_DORVU_H
#define DORVU_DORVU_H

extern int map; // naming scheme: index into bgmfile

int toint(const char *s);
void parseargs(int argc, char **argv);
int dorvu(int argc, char **argv);

#endif
