// Ending a run from outside: Ctrl-C (and on POSIX SIGTERM and SIGHUP), or a
// deadline. The policy is stop_watch.cpp's; waking a thread, waiting for
// Ctrl-C and ending the process are the operating system's
// (stop_watch_os.h, one implementation per platform).
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "tools/qdm7-flash/console/exit_codes.h"

enum class StopReason : int {
    None = 0,
    Deadline = EXIT_DEADLINE,       // the --deadline passed
    Interrupted = EXIT_INTERRUPTED, // Ctrl-C
};

// Starts watching for Ctrl-C and, unless deadline_ms is 0, for the calling
// thread's deadline counted from now. Once either comes, stop_requested()
// says so and any wait on the port is cut short, so that the caller can
// close the port and exit. If the process has not exited about a second
// later (a write stuck on a device that stopped reading, say), the watch
// abandons every watched port (port_abandon) and ends the process with the
// reason's exit code itself, never in the middle of a record being written
// (record_file.h).
void stop_watch_start(std::uint32_t deadline_ms);
// For a port's thread of several, after stop_watch_start: the calling
// thread is watched too, with a deadline of its own (0: none) counted from
// now. A deadline of such a thread stops that thread alone; its port is
// abandoned under it if it does not give way. Ctrl-C stops every thread.
// stop_watch_leave before the thread ends.
void stop_watch_join(std::uint32_t deadline_ms);
void stop_watch_leave();
// The calling thread's port, which a forced exit must release;
// INVALID_PORT_HANDLE when none.
void stop_watch_port(PortHandle handle);
// For the calling thread: Ctrl-C, or its own deadline.
StopReason stop_requested();
// How long a forced exit waits for the caller, in milliseconds.
inline constexpr std::uint32_t STOP_GRACE_MS = 700;
