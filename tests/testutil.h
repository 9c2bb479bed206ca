// Helpers for tests that run the real binary in a scratch directory.
#ifndef DORVU_TESTUTIL_H
#define DORVU_TESTUTIL_H

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

// A fresh directory, removed with everything in it when the test ends. It is made in
// the kind of folder the test run is given (DORVU_NETFOLDER): "" for the local
// temporary folder, "smb" or "sshfs" for a network folder that scripts/netfolders.sh
// mounted in NETFOLDERS: a Samba share through smbnetfs, or a folder of sshd's mounted
// twice with sshfs, as two machines would share it; "nfs" or "cifs", the kernel's NFS
// 4.2 or SMB3 client, which scripts/kernelshares.sh mounts in a folder of its own inside
// a user-mode Linux guest (DORVU_NETFOLDERS).
struct tempdir {
    std::string path;   // where the tool runs, as its user sees the folder
    std::string server; // the same folder on the server's disk
    std::string second; // the same folder through a second mount, or path
    tempdir();
    ~tempdir();
    std::string operator/(const std::string &name) const
    {
        return path + "/" + name;
    }
};

// The kind of folder of this test run, "" for the local one.
std::string netfolder();

struct runresult {
    int status = -1; // exit status; 128 + signal number if a signal killed it
    bool signaled = false;
    std::string out, err;
};

struct runopts {
    long long fsizelimit = 0; // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored; 0 for none
    bool fsizesignal = false; // SIGXFSZ left at its default instead, as in a shell
    int ignore = 0;           // a signal ignored when the tool starts, as under nohup
    int block = 0;            // a signal blocked when the tool starts: it stays pending
    uid_t user = 0;           // when we are root, the user the tool runs as
    // Called with its process while the tool is stopped by a SIGSTOP it raised
    // (DORVU_RAISE=19); then the tool is let go on with SIGCONT.
    std::function<void(pid_t)> whenstopped;
    bool closeout = false; // stop reading standard output when the tool first stops itself
    bool noreader = false; // standard output a pipe whose reader is gone from the start
    // A terminal (a pseudo-terminal, TERM=xterm) for standard error, or for standard
    // output and error as in a person's terminal; what it shows comes in err, or out.
    enum { noterminal, errterminal, bothterminal } terminal = noterminal;
    int columns = 40;       // the terminal's width
    bool notmpfile = false; // no O_TMPFILE, as on FAT: the tool falls back on a named file
    // NAME=VALUE settings for the tool; a DORVU_... setting preloads raisesig (see
    // raisesig.cpp).
    std::vector<std::string> env;
    int deadline = 120; // seconds; a run still going then is killed and fails the test
};

// The library that makes the tool run as where O_TMPFILE is refused, and the one that
// raises a signal at a chosen call (see raisesig.cpp); "" if there is none.
extern const char notmpfile[], raisesig[];

// The command prefix that runs our binaries: empty, or a cross build's emulator
// (its tests run under qemu-user, and so must the tool).
std::string emulator();

runresult run(const std::string &dir, const std::vector<std::string> &args,
              const runopts &opts = runopts());

// The full-length archives of the test run: frame pattern, or music.
std::string patternarchive();
std::string musicarchive();
void putarchive(const tempdir &d, const std::string &archive);

// Runs a shell command; returns its standard output, and its exit status in *status.
std::string shell(const std::string &cmd, int *status);

// A real terminal: tmux, with a window of the given width, running a bash script in dir
// with the tool's path in $dorvu and LD_PRELOAD=raisesig for what the script runs.
// start() returns once the script runs; the script writes what it has to say to files
// in dir. end() waits for the file "done" in dir, then returns what the window shows
// at the end, every line, trailing spaces cut; raw() is everything the script wrote to it.
struct tmuxwindow {
    tmuxwindow(const std::string &dir, int columns, const std::string &script);
    ~tmuxwindow();
    std::vector<std::string> end();
    std::string raw();
    void resize(int columns);
    std::string dir, server;
};
bool havetmux();

// Waits until the process whose number the file pidfile holds has stopped itself (a
// preload raised SIGSTOP); false if it ends, or nothing happens for two minutes.
bool awaitstopped(const std::string &pidfile);

std::vector<std::string> listdir(const std::string &dir);
std::string readfile(const std::string &path);
void writefile(const std::string &path, const std::string &data);

// The lines a terminal shows after it was sent text: carriage returns go back to the
// line's start, characters overwrite, ESC [ J erases from the cursor to the end of the
// screen, trailing spaces and empty last lines do not count.
std::vector<std::string> screen(const std::string &text);

// What the tool prints on standard output for a whole run.
std::string progress(int map, int rep);

// The 44-byte header expected for datasize bytes, spelled out byte by byte.
std::string expectedheader(uint32_t datasize);

// Checks length, header and every audio byte of track i written with rep against the
// pattern archive, in which the frame at offset o holds o / 4.
::testing::AssertionResult checktrack(const std::string &path, int i, int rep);

#endif
