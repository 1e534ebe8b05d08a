// What the stop watch needs of the operating system, one implementation
// per platform: a thread it can wake out of a blocking port call, a wait
// for Ctrl-C, a clock, and an end of the process that runs nothing more.
#pragma once

#include <cstdint>

namespace stop_watch_os {

// A thread as the watch keeps it.
using ThreadRef = std::uintptr_t;

// Once, before any other: Ctrl-C (and the other stop signals) caught for
// the watch alone, the wake-up prepared.
void install();
// The calling thread, to be woken later; release once it is watched no more.
ThreadRef current_thread();
void release_thread(ThreadRef thread);
// Cuts short the port call the thread is blocked in, if any.
void wake(ThreadRef thread);
// Waits up to ms for Ctrl-C; true once it came.
bool wait_for_interrupt(std::uint32_t ms);
// Runs body on a thread of its own, for the life of the process.
void start_thread(void (*body)());
// Milliseconds on a clock that never goes back.
std::int64_t now_ms();
void pause_ms(std::uint32_t ms);
// Ends the process at once with status, after text on standard error.
[[noreturn]] void end_process(const char* text, int status);

} // namespace stop_watch_os
