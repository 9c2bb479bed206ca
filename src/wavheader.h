// The 44-byte header of a canonical PCM WAV file in the archive's format.
#ifndef DORVU_WAVHEADER_H
#define DORVU_WAVHEADER_H

#include <cstdint>

enum { headersize = 44 };

void makeheader(unsigned char *buf, int32_t datasize);

#endif
