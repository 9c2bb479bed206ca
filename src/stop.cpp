#include "stop.h"

#include "files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

volatile std::sig_atomic_t stopsig;

void onsignal(int sig)
{
    if (stopsig == 0)
        stopsig = sig;
}

void fatal(const char *file, const char *what, int err)
{
    fflush(stdout);
    if (err != 0)
        fprintf(stderr, "dorvu: %s: %s: %s\n", file, what, strerror(err));
    else
        fprintf(stderr, "dorvu: %s: %s\n", file, what);
    droptrack();
    if (stopsig != 0)
        die(stopsig);
    exit(1);
}

void checkstop()
{
    int sig = stopsig;

    if (sig == 0)
        return;
    if (sig != pipesignal) // like any filter, end quietly when the reader has gone
        fputs("dorvu: interrupted\n", stderr);
    droptrack();
    die(sig);
}
