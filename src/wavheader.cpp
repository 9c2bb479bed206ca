#include "wavheader.h"

#include <cstring>

// Little-endian by arithmetic, whatever the host's byte order.
static void put2(unsigned char *p, uint32_t v)
{
    p[0] = v & 0xff;
    p[1] = (v >> 8) & 0xff;
}

static void put4(unsigned char *p, uint32_t v)
{
    p[0] = v & 0xff;
    p[1] = (v >> 8) & 0xff;
    p[2] = (v >> 16) & 0xff;
    p[3] = (v >> 24) & 0xff;
}

// Fills buf[0..43] for datasize bytes of 16-bit stereo 44.1 kHz PCM. Every size the
// tool writes is a whole number of frames, so no pad byte is ever needed.
void makeheader(unsigned char *buf, int32_t datasize)
{
    uint32_t size = static_cast<uint32_t>(datasize);

    memcpy(buf + 0, "RIFF", 4);
    put4(buf + 4, size + 36); // rest of the file: "WAVE", fmt chunk, data chunk head
    memcpy(buf + 8, "WAVE", 4);
    memcpy(buf + 12, "fmt ", 4);
    put4(buf + 16, 16);     // fmt chunk size
    put2(buf + 20, 1);      // format tag: PCM
    put2(buf + 22, 2);      // channels
    put4(buf + 24, 44100);  // frames per second
    put4(buf + 28, 176400); // bytes per second
    put2(buf + 32, 4);      // bytes per frame
    put2(buf + 34, 16);     // bits per sample
    memcpy(buf + 36, "data", 4);
    put4(buf + 40, size);
}
