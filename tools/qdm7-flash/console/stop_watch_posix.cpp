// The stop watch's operating system on POSIX: a thread is woken by SIGUSR1
// (caught without SA_RESTART, so that its poll() or tcdrain() ends), the
// stop signals are blocked in every thread and taken by the watch with
// sigtimedwait.
#include "tools/qdm7-flash/console/stop_watch_os.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/posix/terminal.h"

namespace {

// Its only job is to be delivered.
void wake_up(int) {}

// Ctrl-C, kill, and the terminal closing: each ends the run the same way.
sigset_t stop_signal_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

timespec span_of(std::int64_t ms)
{
    return timespec{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
}

void (*thread_body)() = nullptr;

void* run_thread_body(void*)
{
    thread_body();
    return nullptr;
}

} // namespace

namespace stop_watch_os {

void install()
{
    struct sigaction action{};
    action.sa_handler = wake_up;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the wait must end
    sigaction(SIGUSR1, &action, nullptr);

    // The stop signals go to the watch only; threads started later inherit
    // the mask.
    const sigset_t stop_signals = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    // A reader of the trace that goes away must not end an update half
    // done, with the port left locked: the trace is then lost, nothing more.
    signal(SIGPIPE, SIG_IGN);
}

ThreadRef current_thread() { return static_cast<ThreadRef>(pthread_self()); }

void release_thread(ThreadRef) {}

void wake(ThreadRef thread) { pthread_kill(static_cast<pthread_t>(thread), SIGUSR1); }

bool wait_for_interrupt(std::uint32_t ms)
{
    const sigset_t stop_signals = stop_signal_set();
    const timespec span = span_of(ms);
    return sigtimedwait(&stop_signals, nullptr, &span) > 0;
}

void start_thread(void (*body)())
{
    thread_body = body;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, run_thread_body, nullptr) == 0)
        pthread_detach(thread);
}

std::int64_t now_ms() { return monotonic_ns() / 1000000; }

void pause_ms(std::uint32_t ms)
{
    const timespec pause = span_of(ms);
    nanosleep(&pause, nullptr);
}

void end_process(const char* text, int status)
{
    if (write(STDERR_FILENO, text, std::strlen(text)) < 0) {
        // Nothing more can be done about a lost message on the way out.
    }
    _exit(status);
}

} // namespace stop_watch_os
