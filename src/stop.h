// How a run stops before its end: on a fault, or when a signal asks. Either way the
// track being written is dropped, so no short WAV file is left and no earlier file is
// lost; the tracks already finished stay.
#ifndef DORVU_STOP_H
#define DORVU_STOP_H

#include <csignal>

// The first signal that asked for a stop, or 0. What a signal handler may set on every
// system, cores without atomic instructions (ARMv5) among them; on Windows the thread of
// the console handler sets it, and an aligned int is written whole there.
extern volatile std::sig_atomic_t stopsig;

// Starts the run: catches the signals that would end the process, before any file is
// touched. Every early end then drops the track in progress first (droptrack).
void beginrun();

// Reports "dorvu: file: what[: strerror(err)]" on standard error, drops the work in
// progress and exits with status 1; err 0 means there is no system reason to give. A
// signal behind the fault (SIGXFSZ behind a write past the file-size limit) ends the
// process instead, as that signal would have, with no second message.
[[noreturn]] void fatal(const char *file, const char *what, int err);

// If a signal asked for a stop: says so, drops the work in progress and ends the
// process as that signal would have. Called between chunks and between tracks.
void checkstop();

// Honours a stop asked for at any moment up to the process's exit; returns status. In
// stop-posix.cpp or stop-win32.cpp.
int endrun(int status);

#endif
