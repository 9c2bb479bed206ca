#include "progress.h"

#include <cstdio>
#include <cstring>

static bool live; // standard error is a terminal: the line is shown
static long long runtotal, rundone, trackstart, tracktotal;
static const char *trackname;
static long long started, drawn; // milliseconds
static size_t shown;             // how many characters of the line are on the screen

void startprogress(long long runbytes)
{
    live = errterminal();
    runtotal = runbytes;
    started = live ? clockms() : 0;
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

// Whole numbers only: the rate in tenths of a MB/s, the time left in seconds.
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
    if (ms >= 1000 && rundone > 0) { // sooner is too soon to tell a rate
        long long tenths = rundone / (ms * 100), left = (runtotal - rundone) * ms / rundone / 1000;
        snprintf(text, sizeof text, "   %lld.%lld MB/s", tenths / 10, tenths % 10);
        field(line, width, text);
        if (left >= 3600)
            snprintf(text, sizeof text, "   %lld:%02lld:%02lld left", left / 3600, left / 60 % 60,
                     left % 60);
        else
            snprintf(text, sizeof text, "   %lld:%02lld left", left / 60, left % 60);
        field(line, width, text);
    }

    // One write: a carriage return, the line, and spaces over what is left of the last.
    char out[2 * sizeof line + 2];
    size_t len = strlen(line);
    int pad = shown > len ? static_cast<int>(shown - len) : 0;
    int end = snprintf(out, sizeof out, "\r%s%*s", line, pad, "");
    fwrite(out, 1, static_cast<size_t>(end), stderr);
    shown = len;
}

void addprogress(long long n)
{
    if (!live)
        return;
    rundone += n;
    long long now = clockms();
    if (shown != 0 && now - drawn < 100)
        return;
    drawn = now;
    draw(now);
}

// Spaces, not an escape sequence: every console understands them.
void clearprogress()
{
    char out[2 * 160 + 2];

    if (shown == 0)
        return;
    int end = snprintf(out, sizeof out, "\r%*s\r", static_cast<int>(shown), "");
    fwrite(out, 1, static_cast<size_t>(end), stderr);
    shown = 0;
}
