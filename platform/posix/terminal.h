// What every POSIX program here does to a terminal: make its line raw 8E1 at
// a standard speed, take it for itself alone and give it back, and time its
// waits on the monotonic clock. Used by the serial port and by qdm7-sim.
#pragma once

#include <termios.h>

#include <cstdint>

// Nanoseconds on a clock that only goes forward.
std::int64_t monotonic_ns();

// The termios speed for a baud rate; B0 when the system has no constant.
speed_t terminal_speed(std::uint32_t baud);

// Raw 8E1: 8 data bits, even parity generated on output and not tested on
// input, 1 stop bit, no software or hardware flow control, the modem lines
// not waited for; the speed too unless it is B0. VMIN and VTIME are the
// caller's.
void terminal_make_raw(termios& line, speed_t speed);

// Takes the terminal for this process: TIOCEXCL keeps other users out, and
// an flock() root too, who passes TIOCEXCL. False, with errno EBUSY and the
// terminal as it was, when another program holds it. made_exclusive says
// whether the flag was ours to clear: whoever held it before keeps it.
bool terminal_take(int fd, bool& made_exclusive);
// Undoes terminal_take; harmless on a terminal that is gone.
void terminal_give_back(int fd, bool made_exclusive);
