// The real binary, run in a scratch directory against a full-length archive.
#include "bgmtable.h"
#include "testutil.h"

#include <algorithm>
#include <filesystem>
#ifdef DORVU_HAVE_SNDFILE
#include <sndfile.h>
#endif

static std::string progress(int map, int rep)
{
    std::string s = "rep = " + std::to_string(rep) + " , map = " + std::to_string(map) + "\n";
    for (int i = 0; i < ntracks; i++)
        s += std::string("Create ") + bgmfile[map][i] + " ...\n";
    return s;
}

static std::vector<std::string> names(int map)
{
    std::vector<std::string> v = {"dorvu.dat"};
    for (int i = 0; i < ntracks; i++)
        v.push_back(bgmfile[map][i]);
    std::sort(v.begin(), v.end());
    return v;
}

// Runs a whole extraction and checks every byte of every file.
static void extract(const std::vector<std::string> &args, int map, int rep)
{
    tempdir d;
    putarchive(d, patternarchive());
    runresult r = run(d.path, args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, progress(map, rep));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listdir(d.path), names(map));
    for (int i = 0; i < ntracks; i++)
        EXPECT_TRUE(checktrack(d / bgmfile[map][i], i, rep));
}

TEST(Run, DefaultsRepTwoMapZero)
{
    extract({}, 0, 2);
}

TEST(Run, RepOnePlaysEachTrackOnce)
{
    extract({"1"}, 0, 1);
}

TEST(Run, SwitchSelectsSecondNames)
{
    extract({"-1"}, 1, 2); // "-1" is a switch, not a value
}

#ifdef DORVU_HAVE_SNDFILE
// An independent reader must take every file as 16-bit stereo 44.1 kHz PCM of the right
// length, with the audio starting right after the header.
TEST(Run, FilesOpenInAWavReader)
{
    tempdir d;
    putarchive(d, patternarchive());
    ASSERT_EQ(run(d.path, {"2"}).status, 0);
    fixtable();
    EXPECT_EQ(std::filesystem::file_size(d / "kivo_01.wav"), 31873900u);
    for (int i = 0; i < ntracks; i++) {
        const bgmentry &t = bgmtable[i];
        SF_INFO info = {};
        SNDFILE *f = sf_open((d / bgmfile[0][i]).c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr) << bgmfile[0][i] << ": " << sf_strerror(nullptr);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(info.samplerate, 44100);
        EXPECT_EQ(info.frames, ((t.end - t.start) + (t.end - t.loop)) / 4);
        short first[2 * 8];
        ASSERT_EQ(sf_readf_short(f, first, 8), 8);
        for (int k = 0; k < 8; k++) {
            uint32_t frame = t.start / 4 + k;
            EXPECT_EQ(static_cast<uint16_t>(first[2 * k]), frame & 0xffff);
            EXPECT_EQ(static_cast<uint16_t>(first[2 * k + 1]), frame >> 16);
        }
        sf_close(f);
    }
}
#endif

// Settings the arguments give, seen in the settings line of a run with no archive.
TEST(Args, SettingsLine)
{
    const struct {
        std::vector<std::string> args;
        const char *line;
    } cases[] = {
        {{}, "rep = 2 , map = 0\n"},         {{"3", "-x", "5"}, "rep = 5 , map = 1\n"},
        {{"-", "4"}, "rep = 4 , map = 1\n"}, {{"-1"}, "rep = 2 , map = 1\n"},
        {{"1"}, "rep = 1 , map = 0\n"},      {{"10"}, "rep = 10 , map = 0\n"},
        {{"7a"}, "rep = 7 , map = 0\n"},     {{" +3"}, "rep = 3 , map = 0\n"},
    };
    for (const auto &c : cases) {
        tempdir d;
        runresult r = run(d.path, c.args);
        EXPECT_EQ(r.out, std::string(c.line) + "dorvu.dat not found.");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(listdir(d.path).empty());
    }
}

TEST(Args, OutOfRangeTouchesNothing)
{
    const std::vector<std::vector<std::string>> cases = {
        {"0"},           {"11"},         {"word"}, {"5", "0"},       {"5", "word"}, {""},
        {"99999999999"}, {"4294967298"}, {" -5"},  {" -2147483649"}, {"-x", "12"},
    };
    for (const auto &args : cases) {
        tempdir d;
        putarchive(d, patternarchive());
        writefile(d / "kivo_01.wav", "old");
        runresult r = run(d.path, args);
        EXPECT_EQ(r.out, "REP must be 1-10\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(listdir(d.path), (std::vector<std::string>{"dorvu.dat", "kivo_01.wav"}));
        EXPECT_EQ(readfile(d / "kivo_01.wav"), "old");
    }
}

TEST(Args, MissingArchive)
{
    tempdir d;
    runresult r = run(d.path, {"-"});
    EXPECT_EQ(r.out, "rep = 2 , map = 1\ndorvu.dat not found.");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(listdir(d.path).empty());
}
