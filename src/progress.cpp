#include "progress.h"

#include "sysprogress.h"

#include <cstdio>
#include <cstring>

static bool live; // standard error is a terminal: the line may be shown
static long long runtotal, rundone, trackstart, tracktotal;
static const char *trackname;
static long long started, drawn; // milliseconds
static size_t shown;             // how many characters of the line are on the screen

void startprogress(long long runbytes)
{
    live = errterminal();
    runtotal = runbytes;
    started = drawn = live ? clockms() : 0;
}

void trackprogress(const char *name, long long trackbytes)
{
    if (name != trackname) // a new track; the same one again is written again from its start
        trackstart = rundone;
    rundone = trackstart;
    trackname = name;
    tracktotal = trackbytes;
}

// Adds a field to the line if it fits in width columns.
static void field(char *line, size_t width, const char *text)
{
    size_t len = strlen(line);
    if (len + strlen(text) <= width)
        snprintf(line + len, width + 1 - len, "%s", text);
}

// Whole numbers only: the rate in tenths of a MB/s, the time left in seconds. The
// terminal's width is asked every time, as the window may have been resized since.
static void draw(long long now)
{
    char line[160] = "", text[48];
    size_t width = static_cast<size_t>(errwidth()) - 1; // a full line would wrap
    if (width >= sizeof line)
        width = sizeof line - 1;

    snprintf(text, sizeof text, "  %s %3lld%%", trackname,
             tracktotal > 0 ? (rundone - trackstart) * 100 / tracktotal : 100);
    snprintf(line, width + 1, "%s", text);
    snprintf(text, sizeof text, "   run %3lld%%", runtotal > 0 ? rundone * 100 / runtotal : 100);
    field(line, width, text);
    long long ms = now - started;
    long long tenths = rundone / (ms * 100), left = (runtotal - rundone) * ms / rundone / 1000;
    snprintf(text, sizeof text, "   %lld.%lld MB/s", tenths / 10, tenths % 10);
    field(line, width, text);
    if (left >= 3600)
        snprintf(text, sizeof text, "   %lld:%02lld:%02lld left", left / 3600, left / 60 % 60,
                 left % 60);
    else
        snprintf(text, sizeof text, "   %lld:%02lld left", left / 60, left % 60);
    field(line, width, text);

    showline(line, shown);
    shown = strlen(line);
}

// Nothing in the first second, so that a quick run on a local disk shows only its
// lines, and the rate is known from the first drawing on; then at most ten drawings a
// second, across tracks too. A job in the background draws nothing: the shell and what
// the user types have the terminal, and what was drawn before is no longer the last
// thing on it.
void addprogress(long long n)
{
    if (!live)
        return;
    rundone += n;
    long long now = clockms();
    if (now - started < 1000 || now - drawn < 100 || rundone == 0)
        return;
    drawn = now;
    if (!errforeground()) {
        shown = 0;
        return;
    }
    draw(now);
}

void clearprogress()
{
    if (shown == 0)
        return;
    if (errforeground())
        eraseline(shown);
    shown = 0;
}
