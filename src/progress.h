// A live line on standard error while the tracks are written, only where standard error
// is a terminal and the run is in its foreground: a slow stick or share shows how far
// along the run is and how long is left. It first shows after a second, is redrawn in
// place at most ten times a second and erased when a track is done, and before any
// message, so the terminal ends up showing exactly the lines the tool prints; a pipe, a
// file or a log gets nothing of it. It never reaches the terminal's last column, and the
// cursor rests at its start: a terminal that is narrowed re-wraps the line below that
// point, where the next drawing, or the erase, clears all it covers.
#ifndef DORVU_PROGRESS_H
#define DORVU_PROGRESS_H

// The run will write runbytes in all; decides whether the line is shown at all.
void startprogress(long long runbytes);

// A track of trackbytes, to be called name, is being written (again, if it was taken).
void trackprogress(const char *name, long long trackbytes);

// n more bytes of it were written.
void addprogress(long long n);

// Erases the line, if it shows.
void clearprogress();

#endif
