// The console of the live line on Windows. A console handle, not _isatty(), tells it:
// _isatty() says yes to the NUL device too.
#include "progress.h"

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

long long clockms()
{
    return static_cast<long long>(GetTickCount64());
}
