// Signals on POSIX systems: every signal whose default action ends the process is
// caught, so that the track being written can be dropped first; then the default action
// is restored and the signal raised again, so that the calling shell sees death by that
// signal and a script stops too.
#include "stop.h"
#include "sysstop.h"

#include <csignal>
#include <unistd.h>

const int pipesignal = SIGPIPE;

// Signals that report a fault in the process itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT, SIGTRAP, SIGSYS) are left alone: a handler cannot resume after them.
static const int stopsignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE, SIGALRM, SIGTERM,
    SIGUSR1,   SIGUSR2, SIGXCPU, SIGXFSZ, SIGPROF, SIGVTALRM,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

static sigset_t caught;
static sigset_t startmask; // the signals the parent had blocked: they stay blocked

// A signal ignored when the tool starts stays ignored: that is how nohup, and a job
// started with & from a script, keep it running.
static void catchone(int sig)
{
    struct sigaction act = {}, old = {};

    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
        return;
    act.sa_handler = onsignal;
    act.sa_flags = SA_RESTART;
    sigfillset(&act.sa_mask); // the first signal's note stands
    sigaction(sig, &act, nullptr);
    sigaddset(&caught, sig);
}

void catchsignals()
{
    sigprocmask(SIG_BLOCK, nullptr, &startmask);
    sigemptyset(&caught);
    for (int sig : stopsignals)
        catchone(sig);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        catchone(sig);
#endif
}

static void setdefault(int sig)
{
    struct sigaction dfl = {};

    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
}

// With the caught signals blocked, a stop noted so far is honoured; then their default
// actions come back, and the mask the run started with, so that a signal that came in
// between is delivered by them. A stop asked for while the last track was moved into
// place, or later, is never lost; a signal the parent blocked stays blocked.
int endrun(int status)
{
    sigprocmask(SIG_BLOCK, &caught, nullptr);
    checkstop();
    for (int sig = 1; sig < NSIG; sig++)
        if (sigismember(&caught, sig) == 1)
            setdefault(sig);
    sigprocmask(SIG_SETMASK, &startmask, nullptr);
    return status;
}

void keepwindow() {}

void die(int sig)
{
    sigset_t one;

    setdefault(sig);
    sigemptyset(&one);
    sigaddset(&one, sig);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    _exit(128 + sig); // not reached: the signal's default action ends the process
}
