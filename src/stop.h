// How a run stops before its end: on a fault, or when a signal asks. Either way the
// track being written is dropped, so no short WAV file is left and no earlier file is
// lost; the tracks already finished stay.
#ifndef DORVU_STOP_H
#define DORVU_STOP_H

#include <atomic>

// The first signal that asked for a stop, or 0. Lock-free, so a signal handler may set
// it, and so may the thread in which Windows runs its console handler.
extern std::atomic<int> stopsig;

// Starts the run: catches the signals that would end the process, before any file is
// touched. dropwork is what every early end runs first (it drops the track in progress).
void beginrun(void (*dropwork)());

// Reports "dorvu: file: what[: strerror(err)]" on standard error, drops the work in
// progress and exits with status 1; err 0 means there is no system reason to give. A
// signal behind the fault (SIGXFSZ behind a write past the file-size limit) ends the
// process instead, as that signal would have, with no second message.
[[noreturn]] void fatal(const char *file, const char *what, int err);

// If a signal asked for a stop: says so, drops the work in progress and ends the
// process as that signal would have. Called between chunks and between tracks.
void checkstop();

// The handler of every caught signal: it only notes the signal.
void onsignal(int sig);

// The rest is system-dependent: stop-posix.cpp or stop-win32.cpp.

// Catches every signal or event that would end the process, to note it in stopsig.
void catchsignals();

// Keeps a console window that was opened for the tool alone (a double-click on Windows)
// open at the end until Enter, so its words can be read; nothing elsewhere.
void keepwindow();

// Honours a stop asked for at any moment up to the process's exit; returns status.
int endrun(int status);

// Ends the process as signal sig would have ended it.
[[noreturn]] void die(int sig);

extern const int pipesignal; // the signal of a reader gone away, 0 where there is none

#endif
