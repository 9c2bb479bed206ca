// Stops on Windows: every way the console ends a program (Ctrl-C, Ctrl-Break, closing the
// window, logging off, shutting down) is noted as a signal is on POSIX, so that the track
// being written is dropped first; the process then exits with 128 + the signal's
// number, the status a POSIX shell would show. Should the system end the process before
// that, the track file goes with it all the same.
#include "stop.h"
#include "sysstop.h"

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

// Runs in a thread of its own. Once it returns from the last three events the system
// ends the process, so it waits there for the main thread to finish the stop; the main
// thread looks for a stop at least once a second of audio.
static BOOL WINAPI onconsole(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        onsignal(SIGINT);
        return TRUE;
    case CTRL_BREAK_EVENT:
        onsignal(SIGBREAK);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        onsignal(SIGTERM);
        Sleep(INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}

void catchsignals()
{
    SetConsoleCtrlHandler(onconsole, TRUE);
}

void keepwindow()
{
    atexit(holdwindow);
}

int endrun(int status)
{
    checkstop();
    return status;
}

// No waiting for Enter after a stop: whoever stopped the run is done with the window.
void die(int sig)
{
    fflush(stdout);
    _exit(128 + sig);
}
