// mkarchive: writes a stand-in for "dorvu.dat", laid out exactly as the tool's track table
// says, for testing and trying the tool without the real archive.
//
//   mkarchive --pattern FILE  every 4-byte frame holds its own index (little-endian), so
//                             each frame differs and a copy from a wrong offset shows
//   mkarchive --music FILE    audible 16-bit stereo 44.1 kHz audio: each track an arpeggio
//                             at its own pitch, rising in the introduction and falling in
//                             the loop section, which opens with a loud 0.1 s beep
//   mkarchive --table         prints the track table: index, start, loop, end (absolute)
#include "bgmtable.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

static unsigned char buf[1 << 20];
static size_t used;
static FILE *f;
static const char *path;

static void die(const char *what)
{
    fprintf(stderr, "mkarchive: %s: %s: %s\n", path, what, strerror(errno));
    if (f != nullptr)
        fclose(f);
    remove(path);
    exit(1);
}

static void flush()
{
    if (fwrite(buf, 1, used, f) != used)
        die("write failed");
    used = 0;
}

// One 16-bit sample, little-endian whatever the host; negative samples wrap to two's
// complement, as the conversion to uint16_t defines.
static void put16(uint16_t u)
{
    if (used + 2 > sizeof buf)
        flush();
    buf[used++] = u & 0xff;
    buf[used++] = u >> 8;
}

static void pattern()
{
    for (uint32_t frame = 0; frame < archivesize / 4; frame++) {
        put16(static_cast<uint16_t>(frame & 0xffff));
        put16(static_cast<uint16_t>(frame >> 16));
    }
}

// Frames are written from this phase on, so pitch changes do not click.
static double phase;

static void tone(long frames, double hz, int amplitude)
{
    const double step = 2 * 3.14159265358979323846 * hz / 44100;

    for (long k = 0; k < frames; k++) {
        int v = static_cast<int>(amplitude * std::sin(phase));
        put16(static_cast<uint16_t>(v));
        put16(static_cast<uint16_t>(v));
        phase += step;
    }
    phase = std::fmod(phase, 2 * 3.14159265358979323846);
}

// Plays the notes (semitones above base) a quarter second each, over and over.
static void arpeggio(long frames, double base, const int *notes)
{
    const long note = 44100 / 4;

    for (long done = 0, k = 0; done < frames; done += note, k = (k + 1) % 4) {
        long n = frames - done < note ? frames - done : note;
        tone(n, base * std::pow(2.0, notes[k] / 12.0), 6000);
    }
}

static void music()
{
    static const int up[4] = {0, 4, 7, 12};
    static const int down[4] = {12, 7, 4, 0};
    const long marker = 4410;

    for (int i = 0; i < 16 / 4; i++)
        put16(0), put16(0);
    for (const bgmentry &t : bgmtable) {
        double base = 220 * std::pow(2.0, static_cast<double>(&t - bgmtable) / 12.0);
        long intro = (t.loop - t.start) / 4, loop = (t.end - t.loop) / 4;

        arpeggio(intro, base, up);
        tone(marker, 1760, 24000);
        arpeggio(loop - marker, base, down);
    }
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--table") == 0) {
        fixtable();
        for (int i = 0; i < ntracks; i++)
            printf("%d %ld %ld %ld\n", i, static_cast<long>(bgmtable[i].start),
                   static_cast<long>(bgmtable[i].loop), static_cast<long>(bgmtable[i].end));
        return 0;
    }
    if (argc != 3 || (strcmp(argv[1], "--pattern") != 0 && strcmp(argv[1], "--music") != 0)) {
        fprintf(stderr, "usage: mkarchive --pattern|--music FILE | --table\n");
        return 2;
    }
    path = argv[2];
    fixtable();
    f = fopen(path, "wb");
    if (f == nullptr)
        die("cannot create");
    if (strcmp(argv[1], "--pattern") == 0)
        pattern();
    else
        music();
    flush();
    if (fclose(f) != 0) {
        f = nullptr;
        die("write failed");
    }
    return 0;
}
