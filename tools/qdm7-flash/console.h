// What the headless updater needs from the console beyond the engine's
// platform: ending a run from outside (Ctrl-C, and SIGTERM on POSIX, or a
// deadline), and whether standard error is a terminal. One implementation
// per operating system.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum class StopReason : int {
    None = 0,
    Deadline = 3,      // the --deadline passed
    Interrupted = 130, // Ctrl-C
};

// Starts watching for Ctrl-C (and on POSIX SIGTERM and SIGHUP) and, unless
// deadline_ms is 0, for the deadline counted from now. Once either comes,
// stop_requested() says so and any wait on the port is cut short, so that
// the caller can close the port and exit. If the caller has not exited about
// a second later (a write stuck on a device that stopped reading, say), the
// watch abandons the port (port_abandon) and ends the process with the
// reason's exit code itself.
void stop_watch_start(std::uint32_t deadline_ms);
// The port a forced exit must release; INVALID_PORT_HANDLE when none.
void stop_watch_port(PortHandle handle);
StopReason stop_requested();
// How long a forced exit waits for the caller, in milliseconds.
inline constexpr std::uint32_t STOP_GRACE_MS = 700;

bool stderr_is_terminal();
bool stdout_is_terminal();
// The width of the terminal on standard error, or 80 when it has none.
int terminal_columns();
// The module that carries the embedded image (the HINSTANCE on Windows).
void* program_instance();
