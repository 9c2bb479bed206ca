// What the live line asks of the terminal, in progress-posix.cpp or progress-win32.cpp;
// only progress.cpp and they use it.
#ifndef DORVU_SYSPROGRESS_H
#define DORVU_SYSPROGRESS_H

#include <cstddef>

// Standard error is a terminal (a console on Windows), where a line can be redrawn.
bool errterminal();

// The width of that terminal in columns, 80 where it cannot say.
int errwidth();

// The run is in the terminal's foreground (not a job put in the background), or the
// terminal has no job control.
bool errforeground();

// Draws line from the start of the terminal's line, clearing first what the last line
// (was characters) covers now, and leaves the cursor at the start.
void showline(const char *line, size_t was);

// Clears what the line (was characters long), from the cursor on, covers now.
void eraseline(size_t was);

// A clock that only goes forward, in milliseconds.
long long clockms();

#endif
