// The terminal of the live line on POSIX systems. A terminal that cannot move its
// cursor (TERM=dumb, as in an editor's shell window) gets no line.
#include "sysprogress.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

bool errterminal()
{
    const char *term = getenv("TERM");

    return isatty(2) == 1 && term != nullptr && *term != '\0' && strcmp(term, "dumb") != 0;
}

int errwidth()
{
    struct winsize ws = {};

    if (ioctl(2, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0)
        return 80;
    return ws.ws_col;
}

// A terminal that is not the process's controlling one has no job control to respect.
bool errforeground()
{
    pid_t fg = tcgetpgrp(2);

    return fg < 0 || fg == getpgrp();
}

// "\033[J" erases from the cursor to the end of the screen: every row the line covers,
// however the terminal re-wrapped it, and nothing above it.
void showline(const char *line, size_t)
{
    char out[200];
    int end = snprintf(out, sizeof out, "\r\033[J%s\r", line);

    fwrite(out, 1, static_cast<size_t>(end), stderr);
}

void eraseline(size_t)
{
    fputs("\r\033[J", stderr);
}

long long clockms()
{
    struct timespec t = {};

    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}
