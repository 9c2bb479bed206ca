// What stopping asks of the system, in stop-posix.cpp or stop-win32.cpp, and what they
// call back; only stop.cpp and they use it.
#ifndef DORVU_SYSSTOP_H
#define DORVU_SYSSTOP_H

// The handler of every caught signal: it only notes the first.
void onsignal(int sig);

// Catches every signal or event that would end the process, to note it in stopsig.
void catchsignals();

// Keeps a console window that was opened for the tool alone (a double-click on Windows)
// open at the end until Enter, so its words can be read; nothing elsewhere.
void keepwindow();

// Ends the process as signal sig would have ended it.
[[noreturn]] void die(int sig);

extern const int pipesignal; // the signal of a reader gone away, 0 where there is none

#endif
