// Standard error on Windows. A console window shows the program's Windows-1250 letters right
// whatever code page it is set to, when the text goes out as UTF-16 through WriteConsoleW.
// Redirected to a file or a pipe, the bytes go out as they are: Windows-1250, the code page
// of the operator's Windows and of the program's own texts. No state.
#include "console.h"

#include <windows.h>

#include <cstdio>

enum { PROGRAM_CODE_PAGE = 1250 };

int console_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? 1 : 0;
}

void console_write(const char *text, int length)
{
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode)) {
        std::fwrite(text, 1, static_cast<std::size_t>(length), stderr);
        std::fflush(stderr);
        return;
    }
    // A single-byte code page: any cut between bytes is a cut between letters.
    wchar_t wide[256];
    for (int at = 0; at < length;) {
        int piece = length - at < 256 ? length - at : 256;
        int made = MultiByteToWideChar(PROGRAM_CODE_PAGE, 0, text + at, piece, wide, 256);
        DWORD written = 0;
        WriteConsoleW(handle, wide, static_cast<DWORD>(made), &written, nullptr);
        at += piece;
    }
}

void console_cursor_up(int lines)
{
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(handle, &info))
        return;
    COORD place = info.dwCursorPosition;
    place.X = 0;
    place.Y = static_cast<SHORT>(place.Y > lines ? place.Y - lines : 0);
    SetConsoleCursorPosition(handle, place);
}
