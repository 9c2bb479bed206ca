// The tables, the header and the chunked copy, tested on their own.
#include "bgmtable.h"
#include "copytrack.h"
#include "dorvu.h"
#include "files.h"
#include "testutil.h"
#include "wavheader.h"

#include <cstring>
#include <gtest/gtest.h>
#include <set>

// Absolute offsets of every track, as the archive holds them.
static const bgmentry fixed[ntracks] = {
    {16, 1217296, 16545584},           {16545584, 19404464, 32044848},
    {32044848, 33957328, 44332844},    {44332844, 48554884, 68972984},
    {68972984, 69619680, 78899120},    {78899120, 80303536, 100917680},
    {100917680, 105937328, 132604336}, {132604336, 134038320, 175797680},
    {175797680, 176543920, 200697008}, {200697008, 202422448, 226951344},
    {226951344, 228138160, 246709424}, {246709424, 247202992, 256848048},
    {256848048, 259903152, 282260656}, {282260656, 293910704, 298369456},
    {298369456, 299197104, 309781168}, {309781168, 315026864, 326951600},
    {326951600, 327970480, 352125360}, {352125360, 352383152, 389818928},
    {389818928, 390837808, 414992688}, {414992688, 415342128, 444516656},
};

TEST(Table, FixedOffsetsAreAbsoluteAndBackToBack)
{
    fixtable();
    fixtable(); // a second call must not shift the table again
    for (int i = 0; i < ntracks; i++) {
        const bgmentry &t = bgmtable[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(t.start, fixed[i].start);
        EXPECT_EQ(t.loop, fixed[i].loop);
        EXPECT_EQ(t.end, fixed[i].end);
        EXPECT_LT(t.start, t.loop);
        EXPECT_LT(t.loop, t.end);
        EXPECT_EQ(t.start % 4, 0);
        EXPECT_EQ(t.loop % 4, 0);
        EXPECT_EQ(t.end % 4, 0);
        if (i + 1 < ntracks) {
            EXPECT_EQ(t.end, bgmtable[i + 1].start);
        }
    }
    EXPECT_EQ(bgmtable[0].start, 16);
    EXPECT_EQ(bgmtable[ntracks - 1].end, archivesize);
}

TEST(Table, NameMaps)
{
    const char *differ[2][7] = {
        {"kivo_13b.wav", "kivo_14.wav", "kivo_15.wav", "kivo_16.wav", "kivo_17.wav", "kivo_18.wav",
         "kivo_19.wav"},
        {"kivo_14.wav", "kivo_19.wav", "kivo_20.wav", "kivo_15.wav", "kivo_16.wav", "kivo_17.wav",
         "kivo_18.wav"},
    };
    for (int m = 0; m < 2; m++) {
        std::set<std::string> names;
        for (int i = 0; i < ntracks; i++) {
            const char *name = bgmfile[m][i];
            char want[32];
            if (i < 13)
                snprintf(want, sizeof want, "kivo_%02d.wav", i + 1);
            else
                snprintf(want, sizeof want, "%s", differ[m][i - 13]);
            EXPECT_STREQ(name, want) << "map " << m << " track " << i;
            for (size_t k = strlen(name); k < namesize; k++)
                EXPECT_EQ(name[k], '\0'); // NUL-filled to the full width
            names.insert(name);
        }
        EXPECT_EQ(names.size(), 20u) << "two tracks of map " << m << " share a file";
    }
}

static std::string header(int32_t datasize)
{
    unsigned char buf[headersize + 4];
    memset(buf, 0xee, sizeof buf);
    makeheader(buf, datasize);
    EXPECT_EQ(buf[headersize], 0xee) << "wrote past the header";
    return std::string(reinterpret_cast<char *>(buf), headersize);
}

TEST(Header, ExactBytes)
{
    EXPECT_EQ(header(0), expectedheader(0));

    // Track 0 with rep 2: 31,873,856 bytes of audio, 0x01E65B40; the RIFF size is 36 more.
    std::string track0 = header(31873856);
    EXPECT_EQ(track0, expectedheader(31873856));
    EXPECT_EQ(track0.substr(4, 4), "\x64\x5b\xe6\x01");
    EXPECT_EQ(track0.substr(40, 4), "\x40\x5b\xe6\x01");

    // The largest file the tool writes: track 7 with rep 10.
    EXPECT_EQ(header(419027584), expectedheader(419027584));
}

// copyspan on a small archive whose every frame holds its own index.
class Span : public ::testing::Test {
  protected:
    tempdir dir;
    std::string src;
    void SetUp() override
    {
        for (uint32_t frame = 0; frame < (2 * chunksize + 64) / 4; frame++)
            for (int k = 0; k < 4; k++)
                src += static_cast<char>((frame >> (8 * k)) & 0xff);
        writefile(dir / "dorvu.dat", src);
        archivefile = fopen((dir / "dorvu.dat").c_str(), "rb");
        trackfile = fopen((dir / "out").c_str(), "wb");
        trackname = "out";
    }
    void TearDown() override
    {
        if (trackfile != nullptr)
            fclose(trackfile);
        fclose(archivefile);
        trackfile = archivefile = nullptr;
    }
    std::string copied()
    {
        fclose(trackfile);
        trackfile = nullptr;
        return readfile(dir / "out");
    }
};

TEST_F(Span, TwoWholeChunks)
{
    copyspan(8, 8 + 2 * chunksize);
    EXPECT_TRUE(copied() == src.substr(8, 2 * chunksize));
}

TEST_F(Span, TwoChunksAndFourBytes)
{
    copyspan(4, 4 + 2 * chunksize + 4);
    EXPECT_TRUE(copied() == src.substr(4, 2 * chunksize + 4));
}

TEST_F(Span, EmptySpanWritesNothing)
{
    copyspan(100, 100);
    EXPECT_EQ(copied(), "");
}

TEST_F(Span, ArchiveEndingEarlyIsFatal)
{
    int32_t size = static_cast<int32_t>(src.size());
    EXPECT_EXIT(copyspan(size - 8, size + 8), ::testing::ExitedWithCode(1),
                "dorvu: dorvu.dat: read failed: file ends early");
}
