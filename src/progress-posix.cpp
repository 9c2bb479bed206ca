// The terminal of the live line on POSIX systems.
#include "progress.h"

#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

bool errterminal()
{
    return isatty(2) == 1;
}

int errwidth()
{
    struct winsize ws = {};

    if (ioctl(2, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0)
        return 80;
    return ws.ws_col;
}

long long clockms()
{
    struct timespec t = {};

    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}
