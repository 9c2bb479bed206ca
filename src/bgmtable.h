// Where the twenty tracks lie in the archive, and what their output files are called.
#ifndef DORVU_BGMTABLE_H
#define DORVU_BGMTABLE_H

#include <cstdint>

// One track: byte offsets from the archive's first byte. The table stores loop and end
// relative to start; fixtable() makes them absolute.
struct bgmentry {
    int32_t start; // first byte of the track
    int32_t loop;  // first byte of the loop section
    int32_t end;   // one past the last byte
};

enum { ntracks = 20, namesize = 13 };

// The archive must be at least this long: row 19's end after fixtable().
constexpr int32_t archivesize = 444516656;

extern bgmentry bgmtable[ntracks];
extern const char bgmfile[2][ntracks][namesize];

void fixtable();

#endif
