// Faults made for real: whatever fails, every .wav file left is either complete and
// correct or the file that was there before, and the exit status says what happened.
#include "bgmtable.h"
#include "testutil.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
// must survive, and the three finished tracks must be whole. With SIGXFSZ at its
// default, as in an ordinary shell, the run dies by it, and still says one line.
TEST(Faults, WriteFailsMidTrackAndOldFilesSurvive)
{
    for (bool signal : {false, true}) {
        tempdir d;
        putarchive(d, patternarchive());
        for (int i = 0; i < ntracks; i++)
            writefile(d / bgmfile[0][i], std::string("old ") + bgmfile[0][i]);
        runopts o;
        o.fsizelimit = 35000000;
        o.fsizesignal = signal;
        runresult r = run(d.path, {}, o);
        EXPECT_EQ(r.status, signal ? 128 + SIGXFSZ : 1);
        EXPECT_EQ(r.err, "dorvu: kivo_04.wav: write failed: File too large\n");
        EXPECT_EQ(r.out.substr(r.out.rfind("Create")), "Create kivo_04.wav ...\n");
        for (int i = 0; i < 3; i++)
            EXPECT_TRUE(checktrack(d / bgmfile[0][i], i, 2));
        for (int i = 3; i < ntracks; i++)
            EXPECT_EQ(readfile(d / bgmfile[0][i]), std::string("old ") + bgmfile[0][i]);
        EXPECT_EQ(listdir(d.path).size(), 21u) << "a temporary file was left";
    }
}

// The system answers at exact calls (a preload): a track whose temporary file another
// run took is written again, and on the last try the run stops; a file another program
// holds is tried again for the same budget, the archive's open as a track's rename; a
// close that fails after the rename is reported as what it is; a kernel without
// getentropy() still gives names; the copy in the kernel refuses or fails. Each with
// and without O_TMPFILE.
TEST(Faults, SystemAnswersAtExactCalls)
{
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to make the system answer";
    const std::string removed = "cannot create: its temporary file was removed by another program";
    const std::string held = "the file is open in another program";
    auto copy = [](int call, int err) {
        return "DORVU_COPY=" + std::to_string(call) + ":" + std::to_string(err);
    };
    const struct {
        std::vector<std::string> env;
        int status, whole; // the tracks finished and whole
        std::string err;
    } cases[] = {
        {{"DORVU_TAKE=2"}, 0, 20, ""},
        {{"DORVU_TAKE=3"}, 1, 0, "dorvu: kivo_01.wav: " + removed + "\n"},
        {{"DORVU_BUSY=dorvu.dat:7"}, 0, 20, ""},
        {{"DORVU_BUSY=dorvu.dat:8"}, 1, 0, "dorvu: dorvu.dat: cannot open: " + held + "\n"},
        {{"DORVU_BUSY=kivo_02.wav:8"}, 0, 20, ""},
        {{"DORVU_BUSY=kivo_02.wav:9"}, 1, 1, "dorvu: kivo_02.wav: cannot replace: " + held + "\n"},
        {{"DORVU_FAIL_CLOSE=kivo_02.wav"},
         1,
         2,
         "dorvu: kivo_02.wav: written, but closing it failed: Input/output error\n"},
        {{"DORVU_NO_GETENTROPY=1"}, 0, 20, ""},
        // The kernel copies every chunk, the first one on; where it refuses, at the first
        // chunk, in the middle of track 2 or half way through a chunk there, or copies
        // nothing, the rest of the run is copied the old way, asking no more; any other
        // failure stops the run.
        {{copy(1, EIO)}, 1, 0, "dorvu: kivo_01.wav: write failed: Input/output error\n"},
        {{copy(1, ENOSYS)}, 0, 20, ""},
        {{copy(1, EXDEV)}, 0, 20, ""},
        {{copy(1, EOPNOTSUPP)}, 0, 20, ""},
        {{copy(1, EINVAL)}, 0, 20, ""},
        {{copy(1, 0)}, 0, 20, ""},
        {{copy(150, ENOSYS), "DORVU_COPY_HALF=1"}, 0, 20, ""},
        {{copy(150, EXDEV)}, 0, 20, ""},
        {{copy(150, EOPNOTSUPP)}, 0, 20, ""},
        {{copy(150, EINVAL)}, 0, 20, ""},
        {{copy(150, 0)}, 0, 20, ""},
        {{copy(150, ENOSPC)}, 1, 1, "dorvu: kivo_02.wav: write failed: No space left on device\n"},
    };
    for (const auto &c : cases) {
        for (bool fallback : {false, true}) {
            if (fallback && c.env[0].rfind("DORVU_COPY=", 0) == 0)
                continue; // that library refuses the copy in the kernel before it is asked
            tempdir d;
            putarchive(d, patternarchive());
            runopts o;
            o.notmpfile = fallback;
            o.env = c.env;
            o.env.push_back("DORVU_FSTYPE=0x01021994"); // tmpfs, where the kernel copies
            std::string what = c.env[0] + (fallback ? " without O_TMPFILE" : "");
            runresult r = run(d.path, {"1"}, o);
            EXPECT_EQ(r.status, c.status) << what;
            EXPECT_EQ(r.err, c.err) << what;
            if (c.status == 0) {
                EXPECT_EQ(r.out, progress(0, 1)) << what;
            }
            std::vector<std::string> want = {"dorvu.dat"};
            for (int i = 0; i < c.whole; i++) {
                want.push_back(bgmfile[0][i]);
                EXPECT_TRUE(checktrack(d / bgmfile[0][i], i, 1)) << what;
            }
            std::sort(want.begin(), want.end());
            EXPECT_EQ(listdir(d.path), want) << what;
        }
    }
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
// a nameless file as by the named file of systems that cannot make one; an earlier run's
// track is replaced. A file a live run holds (its lock taken here), a folder, a link, a
// name in other letters and any other name stay. An older track a dead run moved aside
// goes back where the track is missing, and goes where it was written since. All are
// gone before the first track is written, so that they cannot fill the disk it needs. A
// link planted at the first temporary name the run draws, leading out of the folder, is
// stepped over, never created through. Without O_TMPFILE, locks are taken as on NFS,
// where a read-only file cannot be locked.
class Leftover : public ::testing::TestWithParam<bool> {};

TEST_P(Leftover, DeadRunsFilesAreRemoved)
{
    tempdir d;
    putarchive(d, patternarchive());
    if (GetParam() && *notmpfile == '\0')
        GTEST_SKIP() << "no library to refuse O_TMPFILE";
    const char *dead[] = {".dorvu-0123456789abcdef.tmp", ".dorvu-00000000000000ff.tmp",
                          ".dorvu-00000000000000a1.kivo_02.wav.old",  // put back
                          ".dorvu-00000000000000a2.kivo_01.wav.old"}; // written since
    const char *kept[] = {".dorvu-ffffffffffffffff.tmp",
                          ".dorvu-1000.tmp",
                          ".dorvu-000.tmp",
                          ".DORVU-006.TMP",
                          ".dorvu-FEDCBA9876543210.tmp",
                          ".dorvu-0123456789abcde.tmp",
                          ".dorvu-00000000000000a3.kivo_99.wav.old"};
    for (const char *n : dead)
        writefile(d / n, "leftover");
    for (const char *n : kept)
        writefile(d / n, "leftover");
    writefile(d / "kivo_01.wav", "old");
    int live = open((d / kept[0]).c_str(), O_RDWR); // NFS locks only what is open for writing
    ASSERT_EQ(flock(live, LOCK_EX), 0);
    ASSERT_EQ(mkdir((d / ".dorvu-00000000000000d1.tmp").c_str(), 0755), 0);
    // A share that makes no links shows the client none: that case is not there.
    bool link = symlink("kivo_01.wav", (d / ".dorvu-00000000000000d2.tmp").c_str()) == 0;
    runopts o;
    o.notmpfile = GetParam();
    tempdir outside;
    bool planted = *raisesig != '\0' && symlink((outside / "victim").c_str(),
                                                (d / ".dorvu-0000000000000000.tmp").c_str()) == 0;
    std::vector<std::string> atfirst; // the dead ones still there at the first track
    std::string backat2;
    if (planted) { // the first name drawn is that of the link
        o.env = {"DORVU_SAME_NAMES=1", "DORVU_RAISE=" + std::to_string(SIGSTOP),
                 "DORVU_RAISE_TRACK=1"};
        o.whenstopped = [&](pid_t) {
            for (const char *n : dead)
                if (fs::exists(d / n))
                    atfirst.push_back(n);
            backat2 = readfile(d / "kivo_02.wav");
        };
    }
    runresult r = run(d.path, {"1"}, o);
    close(live);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(atfirst, std::vector<std::string>{}) << "not swept before the first track";
    EXPECT_EQ(backat2, planted ? "leftover" : "") << "not put back";
    EXPECT_FALSE(fs::exists(fs::symlink_status(outside / "victim"))) << "written through a link";
    EXPECT_TRUE(!planted || fs::is_symlink(d / ".dorvu-0000000000000000.tmp"));
    for (const char *n : kept)
        EXPECT_EQ(readfile(d / n), "leftover") << n;
    EXPECT_TRUE(fs::is_directory(d / ".dorvu-00000000000000d1.tmp"));
    EXPECT_TRUE(!link || fs::is_symlink(d / ".dorvu-00000000000000d2.tmp"));
    for (int i = 0; i < ntracks; i += 6)
        EXPECT_TRUE(checktrack(d / bgmfile[0][i], i, 1));
    EXPECT_EQ(listdir(d.path).size(), 21 + std::size(kept) + 1 + link + planted)
        << ::testing::PrintToString(listdir(d.path));
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
        EXPECT_EQ(listdir(d.path).size(), 21u) << ::testing::PrintToString(listdir(d.path));
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

// dorvu | head -1: the reader goes away (here while the tool is held at the first write
// of track 2), and the tool ends quietly by SIGPIPE at its next line; so it does when
// the reader has gone before the start, and the archive is missing.
TEST(Stop, ClosedPipeEndsQuietly)
{
    for (bool archive : {true, false}) {
        if (archive && *raisesig == '\0')
            continue; // no library to hold the tool (a cross build)
        tempdir d;
        if (archive)
            putarchive(d, patternarchive());
        runopts o;
        (archive ? o.closeout : o.noreader) = true;
        if (archive)
            o.env = {"DORVU_RAISE=" + std::to_string(SIGSTOP), "DORVU_RAISE_TRACK=2"};
        runresult r = run(d.path, {}, o);
        EXPECT_TRUE(r.signaled) << archive;
        EXPECT_EQ(r.status, 128 + SIGPIPE) << archive;
        EXPECT_EQ(r.err, "");
        for (const std::string &n : listdir(d.path))
            EXPECT_FALSE(istemp(n)) << n << " was left";
    }
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
// Through a second mount, as from another machine, the lock is not seen: the second run
// removes the file, and is held inside its own first write while the first goes on.
// The first must then write that track again, never publish a file it did not write.
TEST(Stop, StoppedRunKeepsItsFile)
{
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to raise the signal";
    tempdir d;
    putarchive(d, patternarchive());
    bool twomachines = d.second != d.path;
    runresult other;
    std::vector<std::string> before, after;
    bool locked = false;
    siginfo_t first = {};
    runopts o;
    o.notmpfile = true;
    o.env = {"DORVU_RAISE=" + std::to_string(SIGSTOP), "DORVU_RAISE_TRACK=3", "DORVU_SAME_NAMES=1"};
    o.whenstopped = [&](pid_t a) {
        before = listdir(d.path);
        for (const std::string &n : before) {
            int fd = istemp(n) ? open((d / n).c_str(), O_RDWR) : -1;
            // (The kernel's SMB client answers a held lock with EACCES.)
            locked = locked || (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 &&
                                (errno == EWOULDBLOCK || errno == EACCES));
            if (fd >= 0)
                close(fd);
        }
        runopts b;
        b.notmpfile = true;
        b.env = {"DORVU_SAME_NAMES=1"};
        if (twomachines) { // the first goes on to its end while the second is held
            b.env.insert(b.env.end(),
                         {"DORVU_RAISE=" + std::to_string(SIGSTOP), "DORVU_RAISE_TRACK=1"});
            b.whenstopped = [&](pid_t) {
                kill(a, SIGCONT);
                waitid(P_PID, a, &first, WEXITED | WNOWAIT);
            };
        }
        other = run(d.second, {}, b);
        after = listdir(d.path);
    };
    runresult r = run(d.path, {}, o);
    EXPECT_EQ(std::count_if(before.begin(), before.end(), istemp), 1);
    EXPECT_TRUE(locked) << "the stopped run's file is not locked";
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_EQ(r.status, 0) << r.err;
    if (twomachines)
        EXPECT_EQ(first.si_code, CLD_EXITED);
    else
        EXPECT_EQ(std::count_if(after.begin(), after.end(), istemp), 1) << "its file was taken";
    EXPECT_EQ(listdir(d.path).size(), 21u);
    for (int i = 0; i < ntracks; i++)
        EXPECT_TRUE(checktrack(d / bgmfile[0][i], i, 2));
}

// Every last step of a track file, its rename and the removal of a dropped one, is made
// while the file is open and locked, so that no other run on this machine takes it
// meanwhile. Run A is held right before that step (before its rename of track 1, or
// before it removes track 1 dropped at a write past the file-size limit) while run B,
// at rep 2, runs whole in the same folder: A's file must still be there after B, and
// A then ends as it would alone.
TEST(Stop, LastStepsWhileOpenAndLocked)
{
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to hold the run";
    const struct {
        const char *step;
        bool fallback;
    } cases[] = {{"rename", false}, {"rename", true}, {"unlink", true}};
    for (const auto &c : cases) {
        tempdir d;
        putarchive(d, patternarchive());
        bool drop = std::string(c.step) == "unlink";
        std::vector<std::string> temps;
        runresult b;
        runopts o;
        o.notmpfile = c.fallback;
        o.fsizelimit = drop ? 10000000 : 0;
        o.env = {"DORVU_RAISE=" + std::to_string(SIGSTOP),
                 std::string("DORVU_RAISE_BEFORE=") + c.step};
        o.whenstopped = [&](pid_t) {
            b = run(d.path, {}, runopts());
            for (const std::string &n : listdir(d.path))
                if (istemp(n))
                    temps.push_back(n);
        };
        runresult a = run(d.path, {"1"}, o);
        EXPECT_EQ(b.status, 0) << c.step << ": " << b.err;
        EXPECT_EQ(temps.size(), 1u) << c.step << " " << c.fallback << ": taken while held";
        EXPECT_EQ(a.status, drop ? 1 : 0) << c.step << ": " << a.err;
        EXPECT_EQ(a.err, drop ? "dorvu: kivo_01.wav: write failed: File too large\n" : "");
        EXPECT_EQ(listdir(d.path).size(), 21u) << ::testing::PrintToString(listdir(d.path));
        for (int i = 0; i < ntracks; i++)
            EXPECT_TRUE(checktrack(d / bgmfile[0][i], i, drop ? 2 : 1)) << c.step;
    }
}

// A track held open by a player (reading, or writing and locking it) or by a run between
// its rename and its close is replaced, never doomed (the kernel's SMB client deleted it
// at its close when its server refused the rename): its name leads to a live file.
TEST(Stop, HeldTrackIsReplacedNeverLost)
{
    if (*raisesig == '\0')
        GTEST_SKIP() << "no library to hold the run";
    for (int how : {O_RDONLY, O_RDWR, -1}) {
        tempdir d;
        putarchive(d, patternarchive());
        ASSERT_EQ(run(d.path, {"1"}).status, 0);
        int fd = how >= 0 ? open((d / "kivo_01.wav").c_str(), how) : -1;
        EXPECT_TRUE(how != O_RDWR || flock(fd, LOCK_EX) == 0);
        runresult a, b;
        runopts o;
        o.env = {"DORVU_RAISE=" + std::to_string(SIGSTOP), "DORVU_RAISE_RENAME=kivo_01.wav"};
        o.whenstopped = [&](pid_t) {
            b = run(d.path, {"2"});
            struct stat st = {};
            stat((d / "kivo_01.wav").c_str(), &st);
            EXPECT_GE(st.st_nlink, 1u) << how << ": the held track is to go at its close";
        };
        if (how >= 0)
            o.whenstopped(0);
        else
            a = run(d.path, {"1"}, o);
        close(fd);
        EXPECT_EQ(a.status, how >= 0 ? -1 : 0) << a.err;
        EXPECT_EQ(b.status, 0) << how << ": " << b.err;
        EXPECT_TRUE(checktrack(d / "kivo_01.wav", 0, 2)) << how;
    }
}

// A track the user may not write is kept, and the run stops before it makes that
// track's temporary file; a replaced track keeps its permission bits, and a new one
// gets 0666 less the umask. Run as an ordinary user: root may write anything, and a
// run as root then replaces the 0444 track, which keeps its 0444. In a network folder
// the server decides (sshfs says yes to access() without asking it); its files are its
// own user's, who is no root either.
TEST(Faults, ReadOnlyTrackIsKept)
{
    tempdir d;
    std::string archive = patternarchive();
    if (link(archive.c_str(), (d.server + "/dorvu.dat").c_str()) != 0)
        GTEST_SKIP() << "cannot link " << archive << " where an ordinary user may read it";
    runopts o;
    o.user = 65534; // nobody
    uid_t user = getuid() == 0 ? o.user : getuid();
    // Where the server keeps the owner root gives a file (a local disk, NFS): nobody's.
    bool owned = getuid() == 0 && (d.server == d.path || netfolder() == "nfs");
    for (auto [name, mode] : {std::pair("kivo_02.wav", 0640), std::pair("kivo_03.wav", 0444)}) {
        writefile(d / name, "old");
        if (owned) {
            ASSERT_EQ(chown((d.server + "/" + name).c_str(), user, static_cast<gid_t>(-1)), 0);
        }
        ASSERT_EQ(chmod((d / name).c_str(), mode), 0);
    }
    runresult r = run(d.path, {"1"}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "dorvu: kivo_03.wav: cannot replace: Permission denied\n");
    EXPECT_EQ(readfile(d / "kivo_03.wav"), "old");
    EXPECT_EQ(listdir(d.path),
              (std::vector<std::string>{"dorvu.dat", "kivo_01.wav", "kivo_02.wav", "kivo_03.wav"}));
    for (auto [name, mode] : {std::pair("kivo_01.wav", 0644), std::pair("kivo_02.wav", 0640)}) {
        struct stat st = {};
        EXPECT_EQ(stat((d / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(mode)) << name;
    }
    EXPECT_TRUE(checktrack(d / "kivo_02.wav", 1, 1));
    if (owned) { // root may write it: replaced, still 0444
        EXPECT_EQ(run(d.path, {"1"}).status, 0);
        struct stat st = {};
        EXPECT_EQ(stat((d / "kivo_03.wav").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0444u);
        EXPECT_TRUE(checktrack(d / "kivo_03.wav", 2, 1));
    }
}
