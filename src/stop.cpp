#include "stop.h"

#include "files.h"
#include "progress.h"
#include "sysstop.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

volatile std::sig_atomic_t stopsig;

static bool said; // a fault was reported: a signal behind it ends the run without a word

void beginrun()
{
    catchsignals();
    keepwindow();
}

void onsignal(int sig)
{
    if (stopsig == 0) // every caught signal is blocked while a handler runs
        stopsig = sig;
}

void fatal(const char *file, const char *what, int err)
{
    fflush(stdout);
    clearprogress(); // the message starts on a line of its own
    if (err != 0)
        fprintf(stderr, "dorvu: %s: %s: %s\n", file, what, strerror(err));
    else
        fprintf(stderr, "dorvu: %s: %s\n", file, what);
    said = true;
    droptrack();
    exit(endrun(1)); // a stop noted up to the very end still ends it by that signal
}

void checkstop()
{
    int sig = stopsig;

    if (sig == 0)
        return;
    clearprogress();
    if (sig != pipesignal && !said) // like any filter, end quietly when the reader has gone
        fputs("dorvu: interrupted\n", stderr);
    droptrack();
    die(sig);
}
