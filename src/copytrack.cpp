#include "copytrack.h"

#include "bgmtable.h"
#include "files.h"
#include "progress.h"
#include "stop.h"
#include "wavheader.h"

#include <cerrno>

int rep = 2;

// The run's two buffers, reused for every track and every chunk.
static unsigned char header[headersize];
static unsigned char chunk[chunksize];

// Copies archive bytes [from, end) to out, one second of audio at a time: one seek, one
// read and one write per chunk. A short read means the archive changed under us.
void copyspan(int32_t from, int32_t end)
{
    int32_t pos = from;

    while (pos < end) {
        int32_t n = end - pos < chunksize ? end - pos : chunksize;

        checkstop();
        if (fseek(archive, pos, SEEK_SET) != 0)
            fatal(archivename, "seek failed", errno);
        if (fread(chunk, 1, n, archive) != static_cast<size_t>(n)) {
            if (ferror(archive))
                fatal(archivename, "read failed", errno);
            fatal(archivename, "read failed: file ends early", 0);
        }
        if (fwrite(chunk, 1, n, out) != static_cast<size_t>(n))
            fatal(outname, "write failed", errno);
        addprogress(n);
        pos += n;
    }
}

// The largest, track 7 at rep 10, is 419,027,584 bytes.
int32_t datasize(int i)
{
    const bgmentry &t = bgmtable[i];

    return (t.end - t.start) + (rep - 1) * (t.end - t.loop);
}

// Writes track i to out: the header, the whole track once, then the loop section
// rep - 1 more times.
void copytrack(int i)
{
    const bgmentry &t = bgmtable[i];

    makeheader(header, datasize(i));
    if (fwrite(header, 1, headersize, out) != headersize)
        fatal(outname, "write failed", errno);
    addprogress(headersize);
    copyspan(t.start, t.end);
    for (int k = 1; k < rep; k++)
        copyspan(t.loop, t.end);
}
