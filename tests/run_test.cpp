// The real binary, run in a scratch directory against a full-length archive.
#include "bgmtable.h"
#include "copytrack.h"
#include "dorvu.h"
#include "testutil.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <filesystem>
#include <regex>
#ifdef DORVU_HAVE_SNDFILE
#include <sndfile.h>
#endif

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

// On a terminal a live line shows each track's progress, redrawn in place (a clock that
// moves on 150 ms at every reading redraws it at every chunk) and never wider than the
// terminal; it is erased as each track ends, so the screen shows exactly the lines the
// tool prints, and a stop's message, on a line of its own. Standard output stays the same.
TEST(Run, LiveLineOnATerminal)
{
    std::vector<std::string> lines = {"rep = 1 , map = 0", "Create kivo_01.wav ...",
                                      "Create kivo_02.wav ...", "Create kivo_03.wav ..."};
    const struct {
        decltype(runopts::terminal) terminal;
        const char *raise; // a Ctrl-C inside the first write of that track, or none
        std::vector<std::string> shown;
    } cases[] = {
        {runopts::errterminal, nullptr, {}},
        {runopts::bothterminal, nullptr, screen(progress(0, 1))},
        {runopts::bothterminal,
         "3",
         {lines[0], lines[1], lines[2], lines[3], "dorvu: interrupted"}},
    };
    for (const auto &c : cases) {
        if (c.raise != nullptr && *raisesig == '\0')
            continue; // no library to raise the signal (a cross build)
        tempdir d;
        putarchive(d, patternarchive());
        runopts o;
        o.terminal = c.terminal;
        if (*raisesig != '\0')
            o.env = {"DORVU_CLOCK_STEP=150"};
        if (c.raise != nullptr)
            o.env.push_back(std::string("DORVU_RAISE_TRACK=") + c.raise);
        runresult r = run(d.path, {"1"}, o);
        std::string &term = c.terminal == runopts::bothterminal ? r.out : r.err;
        EXPECT_EQ(screen(term), c.shown) << term.substr(0, 2000);
        EXPECT_EQ(r.status, c.raise != nullptr ? 128 + SIGINT : 0);
        if (c.terminal == runopts::errterminal) {
            EXPECT_EQ(r.out, progress(0, 1));
        }
        size_t widest = 0;
        for (size_t at = 0, next; at < term.size(); at = next + 1) {
            next = std::min(term.find('\r', at), term.size());
            widest = std::max(widest, next - at);
        }
        EXPECT_LE(widest, 39u) << "wider than the terminal";
        if (*raisesig != '\0' && c.raise == nullptr) { // the line moves within a track
            for (const char *pct : {"kivo_08.wav  10%", "kivo_08.wav  50%", "kivo_08.wav  90%"})
                EXPECT_NE(term.find(pct), std::string::npos) << pct;
        }
    }
}

// The writes of a run at rep 1: each track's header, then its chunks.
static long long writesatrepone()
{
    long long writes = 0;
    fixtable();
    for (int i = 0; i < ntracks; i++)
        writes += 1 + (bgmtable[i].end - bgmtable[i].start + chunksize - 1) / chunksize;
    return writes;
}

// At 80 columns, with a clock that moves on at every reading, the fields can be checked
// against the bytes: at 176,400 bytes a chunk, 150 ms a chunk is 1.1 MB/s once the run
// is under way, and the time left is what the rest of the run takes at that pace. At 50 ms a
// reading, the line is first drawn a second into the run and then at every other reading, across
// tracks too: never more than ten times a second.
TEST(Run, LiveLineFieldsAndPace)
{
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to set the clock";
    long long readings = 1 + writesatrepone(); // the start, then each write
    for (int step : {150, 50}) {
        tempdir d;
        putarchive(d, patternarchive());
        runopts o;
        o.terminal = runopts::errterminal;
        o.columns = 80;
        o.env = {"DORVU_CLOCK_STEP=" + std::to_string(step)};
        runresult r = run(d.path, {"1"}, o);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(screen(r.err), std::vector<std::string>{});
        std::regex field(
            R"(  (kivo_\d\db?\.wav) +(\d+)%   run +(\d+)%   (\d+\.\d) MB/s   (\d+):(\d\d) left)");
        long long draws = 0;
        double total = (readings - 1) * 0.150; // seconds on the tool's clock
        for (size_t at = 0; (at = r.err.find("\033[J", at)) != std::string::npos; at++) {
            std::string line = r.err.substr(at + 3, r.err.find('\r', at) - at - 3);
            if (line.empty())
                continue; // an erase
            draws++;
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, field)) << line;
            EXPECT_LE(line.size(), 79u);
            if (step != 150)
                continue;
            if (draws == 1) { // a second into the run: six chunks of the first track
                EXPECT_EQ(m[1], "kivo_01.wav");
                EXPECT_EQ(m[2], "6");
            }
            if (std::stoi(m[3]) < 10)
                continue; // the rate still counts the moment before the first chunk
            EXPECT_EQ(m[4], "1.1") << line;
            double left = std::stoi(m[5]) * 60 + std::stoi(m[6]);
            EXPECT_NEAR(left, (100 - std::stoi(m[3])) * total / 100, total / 100 + 2) << line;
        }
        if (step == 50) { // readings 20, 22, 24 ... of 0 to readings - 1
            EXPECT_EQ(draws, (readings - 1 - 20) / 2 + 1);
        } else {
            EXPECT_GT(draws, readings - 20);
        }
    }
}

// In a real terminal (tmux), which re-wraps a line already shown when it is narrowed:
// the run is held mid-track with the line shown, the window narrowed or widened, and
// the run let go; the screen must end with exactly the lines the tool prints, nothing
// of the line left. It is held in the last track, so that no later line covers a row
// left behind. A job started in the background (bash's job control) draws nothing,
// and takes the line up once brought back with fg (here at the start of track 3).
TEST(Run, LiveLineInARealTerminal)
{
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to hold the run";
    if (!havetmux())
        GTEST_SKIP() << "no tmux: run bash scripts/deps.sh";
    std::vector<std::string> want = screen(progress(0, 1));
    const std::string run = "LD_PRELOAD=$preload DORVU_CLOCK_STEP=150 DORVU_RAISE=19 ";
    const std::string late = std::to_string(writesatrepone() - 10);
    for (auto [from, to] : {std::pair(80, 30), std::pair(40, 120)}) {
        tempdir d;
        putarchive(d, patternarchive());
        tmuxwindow w(d.path, from,
                     run + "DORVU_RAISE_WRITE=" + late +
                         " \"$dorvu\" 1 & echo $! >pid; wait $!; echo $? >status");
        ASSERT_TRUE(awaitstopped(d / "pid")) << "the run was not held";
        pid_t pid = std::stoi(readfile(d / "pid"));
        w.resize(to);
        kill(pid, SIGCONT);
        EXPECT_EQ(w.end(), want) << from << " to " << to << " columns";
        EXPECT_EQ(readfile(d / "status"), "0\n");
        EXPECT_NE(w.raw().find("kivo_19.wav  9"), std::string::npos) << "no line was shown";
    }
    tempdir d;
    putarchive(d, patternarchive());
    tmuxwindow w(d.path, 80,
                 "set -m\n" + run +
                     "DORVU_RAISE_TRACK=3 \"$dorvu\" 1 & wait\nfg >/dev/null; echo $? >status");
    w.end();
    std::string raw = w.raw();
    EXPECT_EQ(readfile(d / "status"), "0\n");
    for (const char *name : {"kivo_01.wav  ", "kivo_02.wav  "})
        EXPECT_EQ(raw.find(name), std::string::npos) << "drawn in the background: " << name;
    EXPECT_NE(raw.find("kivo_03.wav  5"), std::string::npos)
        << "not taken up again in the foreground";
}

// The kernel copies only where it beats the buffer: in memory one call a chunk, on a
// local disk none.
TEST(Run, KernelCopyOnlyWhereItWins)
{
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to say the file system";
    for (auto [type, calls] :
         {std::pair("0x01021994", writesatrepone() - ntracks), {"0xEF53", 0}}) {
        tempdir d, count;
        putarchive(d, patternarchive());
        runopts o;
        o.env = {std::string("DORVU_FSTYPE=") + type, "DORVU_COPY_COUNT=" + count / "n"};
        EXPECT_EQ(run(d.path, {"1"}, o).status, 0);
        EXPECT_EQ(readfile(count / "n"), std::to_string(calls) + "\n") << type;
    }
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

TEST(Args, ConvertsLikeAtoiButSaturates)
{
    const struct {
        const char *text;
        int want;
    } cases[] = {
        {"7", 7},
        {"7x", 7},
        {" \t\n+12", 12},
        {"-3", -3},
        {"abc", 0},
        {"", 0},
        {"0x10", 0},
        {"- 5", 0},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
        {"4294967298", INT_MAX}, // wraps to 2 in 32 bits
        {"00000000000000000000005", 5},
    };
    for (const auto &c : cases)
        EXPECT_EQ(toint(c.text), c.want) << '"' << c.text << '"';
}

// Each list of arguments seen twice: as parseargs() reads it, and as the binary answers,
// in a folder without the archive for a valid rep, and with the archive and an earlier
// file, which must stay untouched, for a rep out of range.
TEST(Args, SettingsAndRange)
{
    const struct {
        std::vector<std::string> args;
        int rep, map;
    } cases[] = {
        {{}, 2, 0},
        {{"3", "-x", "5"}, 5, 1},
        {{"-", "4"}, 4, 1},
        {{"4", "-"}, 4, 1},
        {{"-1"}, 2, 1},
        {{"1"}, 1, 0},
        {{"10"}, 10, 0},
        {{"7a"}, 7, 0},
        {{" +3"}, 3, 0},
        {{"0"}, 0, 0},
        {{"11"}, 11, 0},
        {{"word"}, 0, 0},
        {{""}, 0, 0},
        {{"5", "0"}, 0, 0},
        {{"5", "word"}, 0, 0},
        {{" -5"}, -5, 0},
        {{"-x", "12"}, 12, 1},
        {{"99999999999"}, INT_MAX, 0},
        {{"4294967298"}, INT_MAX, 0}, // wraps to 2 in 32 bits
        {{" -2147483649"}, INT_MIN, 0},
    };
    for (const auto &c : cases) {
        std::vector<char *> argv = {const_cast<char *>("dorvu")};
        for (const std::string &a : c.args)
            argv.push_back(const_cast<char *>(a.c_str()));
        parseargs(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(rep, c.rep);
        EXPECT_EQ(map, c.map);

        tempdir d;
        bool valid = c.rep >= 1 && c.rep <= 10;
        if (!valid) {
            putarchive(d, patternarchive());
            writefile(d / "kivo_01.wav", "old");
        }
        runresult r = run(d.path, c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
        if (valid) {
            EXPECT_EQ(r.out, "rep = " + std::to_string(c.rep) +
                                 " , map = " + std::to_string(c.map) + "\ndorvu.dat not found.");
            EXPECT_TRUE(listdir(d.path).empty());
        } else {
            EXPECT_EQ(r.out, "REP must be 1-10\n");
            EXPECT_EQ(listdir(d.path), (std::vector<std::string>{"dorvu.dat", "kivo_01.wav"}));
            EXPECT_EQ(readfile(d / "kivo_01.wav"), "old");
        }
    }
}
