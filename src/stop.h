// How a run stops before its end: on a fault, or when a signal asks. Either way the
// track being written is dropped, so no short WAV file is left and no earlier file is
// lost; the tracks already finished stay.
#ifndef DORVU_STOP_H
#define DORVU_STOP_H

#include <csignal>

extern volatile std::sig_atomic_t stopsig; // the first signal that asked for a stop, or 0

// Reports "dorvu: file: what[: strerror(err)]" on standard error, drops the track being
// written and exits with status 1; err 0 means there is no system reason to give. A
// signal behind the fault (SIGXFSZ behind a write past the file-size limit) ends the
// process instead, as that signal would have.
[[noreturn]] void fatal(const char *file, const char *what, int err);

// If a signal asked for a stop: says so, drops the track being written and ends the
// process as that signal would have. Called between chunks and between tracks.
void checkstop();

// The handler of every caught signal: it only notes the signal.
void onsignal(int sig);

// The rest is system-dependent: stop-posix.cpp or stop-win32.cpp.

// Catches the signals that would end the process, before any file is touched.
void beginrun();

// Honours a stop asked for at any moment up to the process's exit; returns status.
int endrun(int status);

// Ends the process as signal sig would have ended it.
[[noreturn]] void die(int sig);

extern const int pipesignal; // the signal of a reader gone away, 0 where there is none

#endif
