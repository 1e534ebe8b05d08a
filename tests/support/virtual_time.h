// One virtual clock for the threads of a run in-process (a station's
// workers, its main thread, a test's script of events), and a deterministic
// scheduler for them: one thread runs at a time; a thread that waits for a
// virtual time (a sleep, a read with a time-out, a write on the wire) hands
// over to the thread due first, and the clock jumps to that one's time once
// every thread is waiting; ties go to the thread started first. A thread
// started here takes part from its start to its end, and a join waits in
// virtual time too. The same run, then, always interleaves the same way.
//
// Off (before virtual_time_begin), the virtual link keeps its own clock, as
// single-threaded tests drive it.
#pragma once

#include <cstdint>
#include <functional>

// The calling thread takes part, and the clock stands at start_tick.
void virtual_time_begin(std::uint32_t start_tick = 0);
// The calling thread leaves, every other having been joined; the clock is
// off again.
void virtual_time_end();
bool virtual_time_on();

// The clock, in milliseconds (32 bits, wrapping like tick_count); 0 while
// it is off.
std::uint32_t virtual_now();
// Waits until the clock reads tick (now when it already has).
void virtual_wait_until(std::uint32_t tick);

using VirtualThread = std::uintptr_t;
// Starts body on a thread of its own that takes part; it first runs once
// the caller waits.
VirtualThread virtual_spawn(std::function<void()> body);
// Waits for the thread to end.
void virtual_join(VirtualThread thread);
