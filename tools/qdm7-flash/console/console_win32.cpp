#include <windows.h>

#include <io.h>

#include <cstdio>

#include "tools/qdm7-flash/console/console.h"

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }
bool stdout_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

namespace {

bool screen_of_stderr(CONSOLE_SCREEN_BUFFER_INFO& info)
{
    return GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) != 0;
}

} // namespace

int terminal_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!screen_of_stderr(info))
        return 80;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
}

int terminal_rows()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!screen_of_stderr(info))
        return 24;
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return rows > 0 ? rows : 24;
}

bool terminal_cursor_moves()
{
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#  define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
    // A console older than Windows 10 takes no escape sequences: the lines
    // are then written as they would be to a file.
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) != 0 &&
           ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
            SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0);
}

void* program_instance() { return GetModuleHandleA(nullptr); }
