#include "copytrack.h"

#include "bgmtable.h"
#include "dorvu.h"
#include "files.h"
#include "progress.h"
#include "stop.h"
#include "wavheader.h"

#include <cerrno>

// The run's two buffers, reused for every track and every chunk.
static unsigned char header[headersize];
static unsigned char chunk[chunksize];

// Reads n archive bytes at pos into our buffer and writes them to trackfile. A short read
// means the archive changed under us.
static void readwrite(int32_t pos, int32_t n)
{
    if (fseek(archivefile, pos, SEEK_SET) != 0)
        fatal(archivename, "seek failed", errno);
    if (fread(chunk, 1, n, archivefile) != static_cast<size_t>(n)) {
        if (ferror(archivefile))
            fatal(archivename, "read failed", errno);
        fatal(archivename, "read failed: file ends early", 0);
    }
    if (fwrite(chunk, 1, n, trackfile) != static_cast<size_t>(n))
        fatal(trackname, "write failed", errno);
}

// Whether the kernel copies for us: decided at the run's first chunk, from the file
// system that holds the tracks (kernelcopywins), and off from its first refusal.
static int inkernel = -1;

// The answers that say the system cannot copy these files in the kernel: no such call
// (a kernel before 4.5, or a filter that forbids it), files on two file systems, or a
// file system that cannot (EOPNOTSUPP, which is ENOTSUP on Linux, the one system the
// tool asks).
static bool refused(int err)
{
    return err == ENOSYS || err == EXDEV || err == EOPNOTSUPP || err == EINVAL;
}

// Moves as much as it can of the n archive bytes at pos to trackfile inside the kernel, and
// says how many. A refusal, or a copy of nothing before the chunk's end (no proof that
// the archive ended: some file systems copy nothing and say 0), turns the kernel copy
// off; the rest of the chunk is then copied the old way, which tells the two apart.
static int32_t kernelcopy(int32_t pos, int32_t n)
{
    int32_t done = 0;

    while (inkernel != 0 && done < n) {
        long long got = copyrange(archivefile, pos + done, trackfile, n - done);
        if (got > 0)
            done += static_cast<int32_t>(got);
        else if (got == 0 || refused(errno))
            inkernel = 0;
        else
            fatal(trackname, "write failed", errno);
    }
    return done;
}

// Copies archive bytes [from, end) to trackfile, one second of audio at a time: in the kernel
// where it can (one call), else one seek, one read and one write per chunk.
void copyspan(int32_t from, int32_t end)
{
    int32_t pos = from;

    while (pos < end) {
        int32_t n = end - pos < chunksize ? end - pos : chunksize;

        checkstop();
        if (inkernel < 0)
            inkernel = kernelcopywins(trackfile);
        int32_t done = inkernel != 0 ? kernelcopy(pos, n) : 0;
        if (done < n)
            readwrite(pos + done, n - done);
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

// Writes track i to trackfile: the header, the whole track once, then the loop section
// rep - 1 more times.
void copytrack(int i)
{
    const bgmentry &t = bgmtable[i];

    makeheader(header, datasize(i));
    if (fwrite(header, 1, headersize, trackfile) != headersize)
        fatal(trackname, "write failed", errno);
    addprogress(headersize);
    copyspan(t.start, t.end);
    for (int k = 1; k < rep; k++)
        copyspan(t.loop, t.end);
}
