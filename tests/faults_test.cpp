// Faults made for real: whatever fails, every .wav file left is either complete and
// correct or the file that was there before, and the exit status says what happened.
#include "bgmtable.h"
#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

static bool istemp(const std::string &name)
{
    return name.rfind(".dorvu-", 0) == 0;
}

// Refused before any file is touched, down to the last frame.
TEST(Faults, ShortArchive)
{
    for (long long size : {100000000LL, archivesize - 4LL}) {
        tempdir d;
        writefile(d / "dorvu.dat", "");
        ASSERT_EQ(truncate((d / "dorvu.dat").c_str(), size), 0);
        runresult r = run(d.path, {});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "rep = 2 , map = 0\n");
        EXPECT_EQ(r.err, "dorvu: dorvu.dat: too short: " + std::to_string(size) +
                             " bytes, needs at least 444516656\n");
        EXPECT_EQ(listdir(d.path), std::vector<std::string>{"dorvu.dat"});
    }
}

// The progress lines cannot be written: the work is still done, and the reason given.
TEST(Faults, ProgressLinesToAFullDevice)
{
    tempdir d;
    putarchive(d, patternarchive());
    int status;
    std::string cmd = "cd " + d.path + " && " + emulator() + DORVU_BIN + " 1 2>&1 >/dev/full";
    EXPECT_EQ(shell(cmd, &status),
              "dorvu: standard output: write failed: No space left on device\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(listdir(d.path).size(), 21u);
}

// A directory, or a FIFO that would block the open until some writer came.
TEST(Faults, ArchiveIsNotARegularFile)
{
    for (auto make : {+[](const char *p) { return mkdir(p, 0755); },
                      +[](const char *p) { return mkfifo(p, 0644); }}) {
        tempdir d;
        ASSERT_EQ(make((d / "dorvu.dat").c_str()), 0);
        runresult r = run(d.path, {});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "dorvu: dorvu.dat: not a regular file\n");
        EXPECT_EQ(listdir(d.path), std::vector<std::string>{"dorvu.dat"});
    }
}

TEST(Faults, DirectoryInPlaceOfAnOutputFile)
{
    tempdir d;
    putarchive(d, patternarchive());
    ASSERT_EQ(mkdir((d / "kivo_05.wav").c_str(), 0755), 0);
    runresult r = run(d.path, {"1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dorvu: kivo_05.wav: cannot create: Is a directory\n");
    EXPECT_TRUE(fs::is_directory(d / "kivo_05.wav"));
    std::vector<std::string> want = {"dorvu.dat",   "kivo_01.wav", "kivo_02.wav",
                                     "kivo_03.wav", "kivo_04.wav", "kivo_05.wav"};
    EXPECT_EQ(listdir(d.path), want);
    for (int i = 0; i < 4; i++)
        EXPECT_TRUE(checktrack(d / bgmfile[0][i], i, 1));
}

// A write fails part way through track 3 (45 MB at rep 2); the files of an earlier run
// must survive, and the three finished tracks must be whole.
TEST(Faults, WriteFailsMidTrackAndOldFilesSurvive)
{
    tempdir d;
    putarchive(d, patternarchive());
    for (int i = 0; i < ntracks; i++)
        writefile(d / bgmfile[0][i], std::string("old ") + bgmfile[0][i]);
    runopts o;
    o.fsizelimit = 35000000;
    runresult r = run(d.path, {}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dorvu: kivo_04.wav: write failed: File too large\n");
    EXPECT_EQ(r.out.substr(r.out.rfind("Create")), "Create kivo_04.wav ...\n");
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(checktrack(d / bgmfile[0][i], i, 2));
    for (int i = 3; i < ntracks; i++)
        EXPECT_EQ(readfile(d / bgmfile[0][i]), std::string("old ") + bgmfile[0][i]);
    EXPECT_EQ(listdir(d.path).size(), 21u) << "a temporary file was left";
}

// A link planted at an output name is replaced, and what it points to is never written.
TEST(Faults, LinkAtOutputNameIsNotFollowed)
{
    tempdir d, outside;
    putarchive(d, patternarchive());
    writefile(outside / "precious", "keep me");
    ASSERT_EQ(symlink((outside / "precious").c_str(), (d / "kivo_02.wav").c_str()), 0);
    runresult r = run(d.path, {"1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readfile(outside / "precious"), "keep me");
    EXPECT_TRUE(checktrack(d / "kivo_02.wav", 1, 1));
}

// What a killed run left under our temporary names is removed, by the run that links in
// a nameless file as by the named file of systems that cannot make one. A file a live run
// holds (its lock taken here), a folder, a link and any other name stay.
class Leftover : public ::testing::TestWithParam<bool> {};

TEST_P(Leftover, DeadRunsFilesAreRemoved)
{
    tempdir d;
    putarchive(d, patternarchive());
    if (GetParam() && *notmpfile == '\0')
        GTEST_SKIP() << "no library to refuse O_TMPFILE";
    for (const char *n : {".dorvu-000.tmp", ".dorvu-500.tmp", ".dorvu-999.tmp", ".dorvu-004.tmp",
                          ".dorvu-1000.tmp"})
        writefile(d / n, "leftover");
    int live = open((d / ".dorvu-004.tmp").c_str(), O_RDONLY);
    ASSERT_EQ(flock(live, LOCK_EX), 0);
    ASSERT_EQ(mkdir((d / ".dorvu-001.tmp").c_str(), 0755), 0);
    ASSERT_EQ(symlink("kivo_01.wav", (d / ".dorvu-002.tmp").c_str()), 0);
    runopts o;
    o.notmpfile = GetParam();
    runresult r = run(d.path, {"1"}, o);
    close(live);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char *n : {".dorvu-004.tmp", ".dorvu-1000.tmp"})
        EXPECT_EQ(readfile(d / n), "leftover") << n;
    EXPECT_TRUE(fs::is_directory(d / ".dorvu-001.tmp"));
    EXPECT_TRUE(fs::is_symlink(d / ".dorvu-002.tmp"));
    for (int i = 0; i < ntracks; i += 6)
        EXPECT_TRUE(checktrack(d / bgmfile[0][i], i, 1));
    EXPECT_EQ(listdir(d.path).size(), 25u);
}

INSTANTIATE_TEST_SUITE_P(Faults, Leftover, ::testing::Bool());

// A signal inside the first write of track 3: the tool drops that track, says so and
// dies by the signal, so that a calling script stops too; the two finished tracks stay
// whole. The second of each pair: as on a system that cannot make a file without a name.
class Interrupt : public ::testing::TestWithParam<std::pair<int, bool>> {};

TEST_P(Interrupt, DropsTheTrackInProgressAndDiesBySignal)
{
    tempdir d;
    putarchive(d, patternarchive());
    auto [sig, fallback] = GetParam();
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to raise the signal";
    runopts o;
    o.notmpfile = fallback;
    o.env = {"DORVU_RAISE=" + std::to_string(sig), "DORVU_RAISE_TRACK=3"};
    runresult r = run(d.path, {"10"}, o);
    EXPECT_TRUE(r.signaled);
    EXPECT_EQ(r.status, 128 + sig);
    EXPECT_EQ(r.err, sig == SIGKILL ? "" : "dorvu: interrupted\n");
    std::vector<std::string> want = {"dorvu.dat", "kivo_01.wav", "kivo_02.wav"}, temps;
    std::vector<std::string> names = listdir(d.path);
    std::copy_if(names.begin(), names.end(), std::back_inserter(temps), istemp);
    names.erase(std::remove_if(names.begin(), names.end(), istemp), names.end());
    EXPECT_EQ(names, want);
    for (int i = 0; i < 2; i++)
        EXPECT_TRUE(checktrack(d / bgmfile[0][i], i, 10));
    if (sig == SIGKILL && fallback) { // only a kill leaves it: the track in progress
        ASSERT_EQ(temps.size(), 1u);
        EXPECT_EQ(fs::file_size(d / temps[0]), 44u);
        runopts again; // and the next run removes it
        again.notmpfile = true;
        EXPECT_EQ(run(d.path, {"1"}, again).status, 0);
        EXPECT_EQ(listdir(d.path).size(), 21u);
    } else {
        EXPECT_EQ(temps, std::vector<std::string>{}) << "left behind";
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupt,
                         ::testing::Values(std::pair(SIGINT, false), std::pair(SIGTERM, false),
                                           std::pair(SIGHUP, false), std::pair(SIGQUIT, false),
                                           std::pair(SIGKILL, false), std::pair(SIGINT, true),
                                           std::pair(SIGTERM, true), std::pair(SIGKILL, true)));

// Under nohup SIGHUP is ignored when the tool starts, and must stay ignored; a signal the
// parent blocked must stay blocked, to the end, and is still pending when the tool exits.
TEST(Stop, IgnoredOrBlockedSignalDoesNotStop)
{
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to raise the signal";
    for (int sig : {SIGHUP, SIGINT}) {
        tempdir d;
        putarchive(d, patternarchive());
        runopts o;
        (sig == SIGHUP ? o.ignore : o.block) = sig;
        o.env = {"DORVU_RAISE=" + std::to_string(sig), "DORVU_RAISE_TRACK=3"};
        runresult r = run(d.path, {"1"}, o);
        EXPECT_FALSE(r.signaled) << sig;
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(listdir(d.path).size(), 21u);
        EXPECT_TRUE(checktrack(d / "kivo_03.wav", 2, 1));
    }
}

// dorvu | head -1: the reader goes away, and the tool ends quietly by SIGPIPE.
TEST(Stop, ClosedPipeEndsQuietly)
{
    tempdir d;
    putarchive(d, patternarchive());
    runopts o;
    o.closeout = true;
    runresult r = run(d.path, {}, o);
    EXPECT_TRUE(r.signaled);
    EXPECT_EQ(r.status, 128 + SIGPIPE);
    EXPECT_EQ(r.err, "");
    for (const std::string &n : listdir(d.path))
        EXPECT_FALSE(istemp(n)) << n << " was left";
}

// SIGINT raised inside the tool at an exact point. Noted by the handler as the last track
// is moved into place, it must still end the run by that signal at the end. Mid-track, it
// must end the run within one chunk, not at the end of the track.
TEST(Stop, StopTakesEffectAtOnce)
{
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to raise the signal";
    const struct {
        const char *at;
        size_t left; // files in the folder afterwards
    } cases[] = {{"DORVU_RAISE_RENAME=kivo_19.wav", 21}, {"DORVU_RAISE_WRITE=40", 1}};
    for (const auto &c : cases) {
        tempdir d;
        putarchive(d, patternarchive());
        runopts o;
        o.env = {c.at};
        runresult r = run(d.path, {"1"}, o);
        EXPECT_EQ(r.status, 128 + SIGINT) << c.at;
        int late = 0;
        for (size_t at; (at = r.err.find("late write\n")) != std::string::npos; late++)
            r.err.erase(at, 11);
        EXPECT_LE(late, 1) << c.at;
        EXPECT_EQ(r.err, "dorvu: interrupted\n") << c.at;
        EXPECT_EQ(listdir(d.path).size(), c.left) << c.at;
    }
}

// A run stopped with Ctrl-Z (SIGSTOP) inside the first write of track 3 keeps its
// temporary file, whose lock it holds, while another run sweeps around it, and then
// goes on to the end. Both draw the same temporary names, so the second must step over
// the name the first one holds, never open it.
TEST(Stop, StoppedRunKeepsItsFile)
{
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to raise the signal";
    tempdir d;
    putarchive(d, patternarchive());
    runresult other;
    std::vector<std::string> before, after;
    bool locked = false;
    runopts o;
    o.notmpfile = true;
    o.env = {"DORVU_RAISE=" + std::to_string(SIGSTOP), "DORVU_RAISE_TRACK=3", "DORVU_SAME_NAMES=1"};
    o.whenstopped = [&] {
        before = listdir(d.path);
        for (const std::string &n : before) {
            int fd = istemp(n) ? open((d / n).c_str(), O_RDONLY) : -1;
            locked =
                locked || (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK);
            if (fd >= 0)
                close(fd);
        }
        runopts b;
        b.notmpfile = true;
        b.env = {"DORVU_SAME_NAMES=1"};
        other = run(d.path, {}, b);
        after = listdir(d.path);
    };
    runresult r = run(d.path, {}, o);
    EXPECT_EQ(std::count_if(before.begin(), before.end(), istemp), 1);
    EXPECT_TRUE(locked) << "the stopped run's file is not locked";
    EXPECT_EQ(std::count_if(after.begin(), after.end(), istemp), 1) << "its file was taken";
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listdir(d.path).size(), 21u);
    for (int i = 0; i < ntracks; i++)
        EXPECT_TRUE(checktrack(d / bgmfile[0][i], i, 2));
}
