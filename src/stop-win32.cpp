// Signals on Windows: Ctrl-C (SIGINT) and SIGTERM are caught, so that the track being
// written can be dropped first; the process then exits with 128 + the signal's number,
// the status a POSIX shell would show.
#include "stop.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <windows.h>

const int pipesignal = 0; // no SIGPIPE here: a closed pipe is a failed write

// Explorer starts a double-clicked dorvu.exe in a console window of its own, which
// closes the moment the tool ends, before anyone could read whether it worked. So when
// the console is ours alone and standard input is that console, wait for Enter first;
// never when started from a console or a script.
static void holdwindow()
{
    DWORD pids[2];
    DWORD mode;

    if (GetConsoleProcessList(pids, 2) != 1 ||
        !GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode))
        return;
    fflush(stdout);
    fputs("\nPress Enter to close this window.", stderr);
    for (int c = getchar(); c != EOF && c != '\n';)
        c = getchar();
}

void beginrun()
{
    atexit(holdwindow);
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
