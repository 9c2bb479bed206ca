// The console of the live line on Windows. A console handle, not _isatty(), tells it:
// _isatty() says yes to the NUL device too. The line is cleared through the console
// itself, which every Windows console understands: as many cells as the line had, from
// the start of the row the cursor rests on, are what it covers after any re-wrap.
#include "sysprogress.h"

#include <cstdio>
#include <windows.h>

bool errterminal()
{
    DWORD mode;

    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int errwidth()
{
    CONSOLE_SCREEN_BUFFER_INFO info;

    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 80;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool errforeground()
{
    return true; // a console has no background jobs
}

void eraseline(size_t was)
{
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    DWORD n;

    fflush(stderr);
    if (!GetConsoleScreenBufferInfo(h, &info))
        return;
    COORD start = {0, info.dwCursorPosition.Y};
    FillConsoleOutputCharacterA(h, ' ', static_cast<DWORD>(was), start, &n);
    SetConsoleCursorPosition(h, start);
}

void showline(const char *line, size_t was)
{
    eraseline(was);
    fprintf(stderr, "\r%s\r", line);
}

long long clockms()
{
    return static_cast<long long>(GetTickCount64());
}
