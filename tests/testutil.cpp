#include "testutil.h"

#include "bgmtable.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

std::string netfolder()
{
    const char *kind = getenv("DORVU_NETFOLDER");
    return kind != nullptr ? kind : "";
}

// Where the network folders are: NETFOLDERS, or DORVU_NETFOLDERS where a script mounts
// its own (scripts/kernelshares.sh, in a folder a test's ordinary user can reach).
static std::string netfolders()
{
    const char *dir = getenv("DORVU_NETFOLDERS");
    return dir != nullptr ? dir : NETFOLDERS;
}

// The mount points of each kind, below that, as scripts/netfolders.sh makes them: links
// to where they are, which a test's ordinary user can reach when the checkout lies in a
// folder closed to it.
static std::string mountof(const std::string &kind, bool second)
{
    std::error_code ec;
    std::string root = netfolders() + "/" + kind + (second ? "2" : "");
    std::string real = std::filesystem::canonical(root, ec).string();
    return (ec ? root : real) + (kind == "smb" ? "/127.0.0.1/music" : "");
}

tempdir::tempdir()
{
    std::string kind = netfolder();
    std::string base =
        kind.empty() ? std::filesystem::temp_directory_path().string() : netfolders() + "/srv";
    std::string tmpl = base + "/dorvu-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr || chmod(tmpl.c_str(), 0777) != 0)
        throw std::runtime_error("mkdtemp failed in " + base);
    server = path = second = tmpl;
    if (!kind.empty()) {
        std::string name = tmpl.substr(base.size());
        path = mountof(kind, false) + name;
        second = mountof(kind, kind == "sshfs") + name;
    }
}

tempdir::~tempdir()
{
    std::error_code ec;
    std::filesystem::remove_all(server, ec);
}

// A network folder that is not there skips every test, and says why. GoogleTest marks
// no test skipped when its environment skips, so the line CTest looks for to count a
// test as skipped is written here.
class netcheck : public ::testing::Environment {
    void SetUp() override
    {
        std::string kind = netfolder();
        if (kind.empty() || access((mountof(kind, false) + "/.mounted").c_str(), F_OK) == 0)
            return;
        std::string why = readfile(netfolders() + "/why");
        printf("[  SKIPPED ] every test: no %s folder mounted\n", kind.c_str());
        GTEST_SKIP() << "no " << kind << " folder mounted in " << netfolders() << ": "
                     << (why.empty() ? "run scripts/netfolders.sh start as root" : why);
    }
};
static auto *const netenv = ::testing::AddGlobalTestEnvironment(new netcheck);

#ifdef NOTMPFILE_SO
const char notmpfile[] = NOTMPFILE_SO, raisesig[] = RAISESIG_SO;
#else
const char notmpfile[] = "", raisesig[] = ""; // a cross build makes none
#endif

#ifdef DORVU_EMULATOR_CMD
static const char emulatorcmd[] = DORVU_EMULATOR_CMD;
#else
static const char emulatorcmd[] = "";
#endif

std::string emulator()
{
    return *emulatorcmd != '\0' ? std::string(emulatorcmd) + " " : "";
}

// LD_PRELOAD for the run: the libraries its options ask for, "" for none.
static std::string preloads(const runopts &opts)
{
    std::string libs;
    if (opts.notmpfile)
        libs = notmpfile;
    for (const std::string &e : opts.env)
        if (e.rfind("DORVU_", 0) == 0) {
            libs += (libs.empty() ? "" : ":") + std::string(raisesig);
            break;
        }
    return libs;
}

// The tool where another user can run it: a checkout may lie in a folder closed to
// others (/root, a 0700 folder), so a copy is put in a folder of its own in the local
// temporary folder, removed when the tests end.
static std::string binfor(uid_t user)
{
    static struct copy {
        std::string dir;
        ~copy()
        {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } bin;
    if (user == 0 || getuid() != 0)
        return DORVU_BIN;
    if (bin.dir.empty()) {
        std::string tmpl = std::filesystem::temp_directory_path().string() + "/dorvu-bin-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr || chmod(tmpl.c_str(), 0755) != 0)
            throw std::runtime_error("mkdtemp failed for " + tmpl);
        std::filesystem::copy_file(DORVU_BIN, tmpl + "/dorvu");
        bin.dir = tmpl;
    }
    return bin.dir + "/dorvu";
}

// A pseudo-terminal: its controller in fds[0], the terminal in fds[1].
static void openterminal(int fds[2], int columns)
{
    fds[0] = posix_openpt(O_RDWR | O_NOCTTY);
    if (fds[0] < 0 || grantpt(fds[0]) != 0 || unlockpt(fds[0]) != 0)
        throw std::runtime_error("no pseudo-terminal");
    fds[1] = open(ptsname(fds[0]), O_RDWR | O_NOCTTY);
    winsize ws = {};
    ws.ws_row = 24;
    ws.ws_col = static_cast<unsigned short>(columns);
    if (fds[1] < 0 || ioctl(fds[0], TIOCSWINSZ, &ws) != 0)
        throw std::runtime_error("no pseudo-terminal");
}

runresult run(const std::string &dir, const std::vector<std::string> &args, const runopts &opts)
{
    int outp[2], errp[2];
    if (opts.terminal != runopts::noterminal)
        openterminal(errp, opts.columns);
    else if (pipe(errp) != 0)
        throw std::runtime_error("pipe failed");
    if (opts.terminal == runopts::bothterminal) { // the one terminal, read from one place
        outp[0] = open("/dev/null", O_RDONLY);
        outp[1] = dup(errp[1]);
    } else if (pipe(outp) != 0) {
        throw std::runtime_error("pipe failed");
    }

    std::vector<std::string> argv0 = {binfor(opts.user)};
    if (*emulatorcmd != '\0')
        argv0.insert(argv0.begin(), emulatorcmd);
    argv0.insert(argv0.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv0)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string preload = preloads(opts);

    pid_t pid = fork();
    if (pid == 0) {
        int gone[2]; // a pipe whose reader is gone before the first line
        if (opts.noreader && pipe(gone) == 0) {
            close(gone[0]);
            dup2(gone[1], 1);
        } else {
            dup2(outp[1], 1);
        }
        dup2(errp[1], 2);
        close(outp[0]), close(outp[1]), close(errp[0]), close(errp[1]);
        if (opts.user != 0 && getuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(opts.user) != 0 || setuid(opts.user) != 0))
            _exit(124);
        if (chdir(dir.c_str()) != 0)
            _exit(125);
        umask(022);
        rlimit nocore = {0, 0}; // SIGQUIT and SIGXFSZ would dump core in the scratch folder
        setrlimit(RLIMIT_CORE, &nocore);
        if (opts.ignore != 0)
            signal(opts.ignore, SIG_IGN);
        if (opts.terminal != runopts::noterminal)
            setenv("TERM", "xterm", 1);
        for (const std::string &e : opts.env) {
            size_t eq = e.find('=');
            setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        if (!preload.empty()) {
            setenv("LD_PRELOAD", preload.c_str(), 1);
            setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
        }
        sigset_t block;
        sigemptyset(&block);
        if (opts.block != 0)
            sigaddset(&block, opts.block);
        sigprocmask(SIG_SETMASK, &block, nullptr);
        if (opts.fsizelimit > 0) {
            signal(SIGXFSZ, opts.fsizesignal ? SIG_DFL : SIG_IGN);
            rlimit rl = {static_cast<rlim_t>(opts.fsizelimit),
                         static_cast<rlim_t>(opts.fsizelimit)};
            setrlimit(RLIMIT_FSIZE, &rl);
        }
        execvp(argv[0], argv.data());
        _exit(126);
    }
    close(outp[1]);
    close(errp[1]);

    // Read both pipes as they fill; act when the tool stops itself; give up at the
    // deadline. The poll's pause only sets how soon a stop is seen, never what happens.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opts.deadline);
    runresult r;
    int st = 0;
    if (opts.terminal == runopts::bothterminal) {
        close(outp[0]);
        outp[0] = -1;
    }
    bool reaped = false;
    pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
    std::string *text[2] = {&r.out, opts.terminal == runopts::bothterminal ? &r.out : &r.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "dorvu still running after " << opts.deadline << " s: killed";
            break;
        }
        if (!reaped && waitpid(pid, &st, WNOHANG | WUNTRACED) == pid) {
            if (WIFSTOPPED(st)) {
                if (opts.closeout && fds[0].fd >= 0) {
                    close(fds[0].fd);
                    fds[0].fd = -1;
                } else if (opts.whenstopped)
                    opts.whenstopped(pid);
                else
                    ADD_FAILURE() << "dorvu stopped, and nothing was to be done then";
                kill(pid, SIGCONT);
            } else {
                reaped = true;
            }
        }
        if (poll(fds, 2, 100) <= 0)
            continue;
        for (int k = 0; k < 2; k++) {
            if (fds[k].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(fds[k].fd, buf, sizeof buf);
            if (n > 0)
                text[k]->append(buf, n);
            if (n <= 0) {
                close(fds[k].fd);
                fds[k].fd = -1;
            }
        }
    }
    for (pollfd &p : fds)
        if (p.fd >= 0)
            close(p.fd);
    // An emulator reports a target killed by a core-dumping signal: not the tool's words.
    for (size_t at; *emulatorcmd != '\0' && (at = r.err.find("qemu: ")) != std::string::npos;)
        r.err.erase(at, r.err.find('\n', at) + 1 - at);
    if (!reaped)
        waitpid(pid, &st, 0);
    if (WIFEXITED(st)) {
        r.status = WEXITSTATUS(st);
    } else if (WIFSIGNALED(st)) {
        r.signaled = true;
        r.status = 128 + WTERMSIG(st);
    }
    return r;
}

// Made by the test run's fixtures (make_pattern_archive, make_music_archive) before
// any test that needs one starts; a test never makes its own, which could race them.
static std::string fixture(const char *name, const char *mode)
{
    // A network folder's server may keep a copy beside its folders (scripts/kernelshares.sh),
    // so that a link to it stays on the server and the server can copy from it.
    const char *dir = getenv("DORVU_FIXTURE_DIR");
    std::string path = std::string(dir != nullptr ? dir : FIXTURE_DIR) + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || st.st_size != archivesize)
        throw std::runtime_error(path + " is missing: run the tests with ctest, or make it with " +
                                 MKARCHIVE_BIN + " " + mode + " " + path);
    return path;
}

std::string patternarchive()
{
    return fixture("pattern.dat", "--pattern");
}

std::string musicarchive()
{
    return fixture("music.dat", "--music");
}

// A link on the server's side: a share need not let its clients make links, nor read
// a file through one that leads out of it. A hard link leads nowhere.
void putarchive(const tempdir &d, const std::string &archive)
{
    std::string at = d.server + "/dorvu.dat";
    if (link(archive.c_str(), at.c_str()) != 0 && symlink(archive.c_str(), at.c_str()) != 0)
        throw std::runtime_error("cannot link " + archive + " to " + at);
}

std::string shell(const std::string &cmd, int *status)
{
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        throw std::runtime_error("popen failed");
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        s.append(buf, n);
    int st = pclose(p);
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return s;
}

// Every name, .fuse_hidden... of a FUSE file system included: the tool leaves none.
std::vector<std::string> listdir(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string readfile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void writefile(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

std::vector<std::string> screen(const std::string &text)
{
    std::vector<std::string> lines(1);
    size_t col = 0;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '\r') {
            col = 0;
        } else if (c == '\033' && i + 2 < text.size() && text.compare(i, 3, "\033[J") == 0) {
            lines.back().resize(std::min(lines.back().size(), col));
            i += 2;
        } else if (c == '\n') {
            lines.emplace_back();
            col = 0;
        } else {
            std::string &line = lines.back();
            line.resize(std::max(line.size(), col + 1), ' ');
            line[col++] = c;
        }
    }
    for (std::string &line : lines)
        line.erase(line.find_last_not_of(' ') + 1);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

std::string progress(int map, int rep)
{
    std::string s = "rep = " + std::to_string(rep) + " , map = " + std::to_string(map) + "\n";
    for (int i = 0; i < ntracks; i++)
        s += std::string("Create ") + bgmfile[map][i] + " ...\n";
    return s;
}

std::string expectedheader(uint32_t datasize)
{
    unsigned char h[44] = {
        'R',  'I', 'F', 'F', 0,  0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
        ' ',  16,  0,   0,   0,  1, 0,   2,   0,   0x44, 0xac, 0,   0,   0x10, 0xb1,
        0x02, 0,   4,   0,   16, 0, 'd', 'a', 't', 'a',  0,    0,   0,   0,
    };
    uint32_t riff = datasize + 36;
    for (int k = 0; k < 4; k++) {
        h[4 + k] = (riff >> (8 * k)) & 0xff;
        h[40 + k] = (datasize >> (8 * k)) & 0xff;
    }
    return std::string(reinterpret_cast<char *>(h), 44);
}

::testing::AssertionResult checktrack(const std::string &path, int i, int rep)
{
    fixtable();
    const bgmentry &t = bgmtable[i];
    uint32_t datasize = (t.end - t.start) + static_cast<uint32_t>(rep - 1) * (t.end - t.loop);

    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return ::testing::AssertionFailure() << path << ": missing";
    if (!S_ISREG(st.st_mode))
        return ::testing::AssertionFailure() << path << ": not a regular file";
    if (static_cast<uint64_t>(st.st_size) != 44 + static_cast<uint64_t>(datasize))
        return ::testing::AssertionFailure()
               << path << ": " << st.st_size << " bytes, expected " << 44 + datasize;

    FILE *f = fopen(path.c_str(), "rb");
    std::string head(44, '\0');
    if (fread(head.data(), 1, 44, f) != 44 || head != expectedheader(datasize)) {
        fclose(f);
        return ::testing::AssertionFailure() << path << ": wrong header";
    }

    std::vector<std::pair<int32_t, int32_t>> spans = {{t.start, t.end}};
    for (int k = 1; k < rep; k++)
        spans.push_back({t.loop, t.end});
    static std::vector<unsigned char> got(1 << 20), want(1 << 20);
    for (auto [from, end] : spans) {
        for (int32_t pos = from; pos < end;) {
            size_t n = std::min<int64_t>(got.size(), end - pos);
            for (size_t k = 0; k < n; k += 4) {
                uint32_t frame = (pos + k) / 4;
                want[k] = frame & 0xff, want[k + 1] = (frame >> 8) & 0xff;
                want[k + 2] = (frame >> 16) & 0xff, want[k + 3] = frame >> 24;
            }
            if (fread(got.data(), 1, n, f) != n || memcmp(got.data(), want.data(), n) != 0) {
                fclose(f);
                return ::testing::AssertionFailure()
                       << path << ": audio differs in the block of archive offset " << pos;
            }
            pos += n;
        }
    }
    fclose(f);
    return ::testing::AssertionSuccess();
}

bool havetmux()
{
    int status;
    shell("tmux -V >/dev/null 2>&1", &status);
    return status == 0;
}

static std::string tmux(const std::string &socket, const std::string &args)
{
    int status;
    std::string out = shell("tmux -L " + socket + " " + args + " 2>&1", &status);
    if (status != 0)
        throw std::runtime_error("tmux " + args + ": " + out);
    return out;
}

// Waits for what a run in the window is to leave: never for a set time; the deadline
// only fails a run that hangs.
static bool awaitfile(const std::string &path, const std::string &text)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (readfile(path).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        usleep(20000);
    }
    return true;
}

tmuxwindow::tmuxwindow(const std::string &d, int columns, const std::string &script) : dir(d)
{
    static int n;
    server = "dorvutest" + std::to_string(getpid()) + "-" + std::to_string(++n);
    writefile(dir + "/script.sh",
              "dorvu=" + std::string(DORVU_BIN) + "\npreload=" + raisesig +
                  "\nexport ASAN_OPTIONS=verify_asan_link_order=0\nread -r x <go\n" + script +
                  "\nprintf '@end\\n'\nsleep 600\n");
    if (mkfifo((dir + "/go").c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo failed in " + dir);
    tmux(server, "new-session -d -x " + std::to_string(columns) + " -y 50 -c '" + dir +
                     "' 'bash script.sh'");
    tmux(server, "pipe-pane -o 'cat >>" + dir + "/raw'");
    writefile(dir + "/go", "\n");
}

tmuxwindow::~tmuxwindow()
{
    int status;
    shell("tmux -L " + server + " kill-server >/dev/null 2>&1", &status);
}

void tmuxwindow::resize(int columns)
{
    tmux(server, "resize-window -x " + std::to_string(columns));
}

std::vector<std::string> tmuxwindow::end()
{
    if (!awaitfile(dir + "/raw", "@end"))
        ADD_FAILURE() << "the script in the terminal did not end";
    std::vector<std::string> lines;
    std::istringstream in(tmux(server, "capture-pane -p -S -"));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.erase(line.find_last_not_of(' ') + 1));
    while (!lines.empty() && (lines.back().empty() || lines.back() == "@end"))
        lines.pop_back();
    return lines;
}

std::string tmuxwindow::raw()
{
    awaitfile(dir + "/raw", "@end");
    std::string r = readfile(dir + "/raw");
    return r.substr(0, r.find("@end"));
}

bool awaitstopped(const std::string &pidfile)
{
    if (!awaitfile(pidfile, "\n"))
        return false;
    std::string stat = "/proc/" + std::to_string(std::stoi(readfile(pidfile))) + "/stat";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        std::string st = readfile(stat);
        size_t paren = st.rfind(')');
        if (paren == std::string::npos || paren + 2 >= st.size())
            return false; // it has ended
        if (st[paren + 2] == 'T')
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        usleep(20000);
    }
}
