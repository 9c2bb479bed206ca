// Holds a file open as another program would, for the Windows trials under wine:
//   holdfile NAME SHARE MS
// SHARE "read" shares reading only, as a player or a live dorvu run does; "none" shares
// nothing. Prints "held" once the file is open, then holds it for MS milliseconds, or
// with MS 0 until its standard input ends.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <windows.h>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    DWORD share = strcmp(argv[2], "read") == 0 ? FILE_SHARE_READ : 0;
    HANDLE h = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "holdfile: %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    puts("held");
    fflush(stdout);
    if (atoi(argv[3]) > 0)
        Sleep(atoi(argv[3]));
    else
        while (getchar() != EOF)
            ;
    CloseHandle(h);
    return 0;
}
