// Copies one track, with its loop section repeated, from the archive into its WAV file.
#ifndef DORVU_COPYTRACK_H
#define DORVU_COPYTRACK_H

#include <cstdint>

enum { chunksize = 176400 }; // one second of 16-bit stereo 44.1 kHz audio

// The audio bytes of track i's file at the run's rep: the whole track once, then the
// loop section rep - 1 more times.
int32_t datasize(int i);

void copytrack(int i);
void copyspan(int32_t from, int32_t end);

#endif
