// What the headless updater needs of the terminal beyond the engine's
// platform: whether standard error and output are terminals, and how large
// and capable the one on standard error is. One implementation per
// operating system. Ending a run from outside is the stop watch's
// (stop_watch.h).
#pragma once

bool stderr_is_terminal();
bool stdout_is_terminal();
// The width of the terminal on standard error, or 80 when it has none.
int terminal_columns();
// Its height, or 24 when it has none.
int terminal_rows();
// Whether the terminal on standard error takes cursor movements (escape
// sequences; turned on where the console must be asked).
bool terminal_cursor_moves();
// The module that carries the embedded image (the HINSTANCE on Windows).
void* program_instance();
