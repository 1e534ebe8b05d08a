#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "tools/qdm7-flash/console/console.h"

bool stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }
bool stdout_is_terminal() { return isatty(STDOUT_FILENO) != 0; }

int terminal_columns()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return 80;
    return size.ws_col;
}

int terminal_rows()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0)
        return 24;
    return size.ws_row;
}

// Terminals here take the usual cursor movements.
bool terminal_cursor_moves() { return true; }

void* program_instance() { return nullptr; }
