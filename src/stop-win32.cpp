// Signals on Windows: Ctrl-C (SIGINT) and SIGTERM are caught, so that the track being
// written can be dropped first; the process then exits with 128 + the signal's number,
// the status a POSIX shell would show.
#include "stop.h"

#include <csignal>
#include <cstdlib>

const int pipesignal = 0; // no SIGPIPE here: a closed pipe is a failed write

void beginrun()
{
    signal(SIGINT, onsignal);
    signal(SIGTERM, onsignal);
}

int endrun(int status)
{
    checkstop();
    return status;
}

void die(int sig)
{
    exit(128 + sig);
}
