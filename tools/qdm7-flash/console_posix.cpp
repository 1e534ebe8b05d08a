#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/posix/terminal.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/console.h"

namespace {

std::atomic<int> stop_reason{static_cast<int>(StopReason::None)};
std::atomic<PortHandle> watched_port{INVALID_PORT_HANDLE};
pthread_t main_thread;
std::uint32_t deadline_after_ms = 0;

// Its only job is to be delivered: a caught signal without SA_RESTART ends
// the poll() or tcdrain() that the main thread is blocked in.
void wake(int) {}

std::int64_t now_ms() { return monotonic_ns() / 1000000; }

timespec span_of(std::int64_t ms)
{
    return timespec{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
}

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

void* watch(void*)
{
    const sigset_t stop_signals = stop_signal_set();
    const std::int64_t start = now_ms();
    StopReason reason = StopReason::None;
    while (reason == StopReason::None) {
        std::int64_t wait = 1000;
        if (deadline_after_ms != 0) {
            wait = start + deadline_after_ms - now_ms();
            if (wait <= 0) {
                reason = StopReason::Deadline;
                break;
            }
        }
        const timespec span = span_of(wait);
        if (sigtimedwait(&stop_signals, nullptr, &span) > 0)
            reason = StopReason::Interrupted;
    }
    stop_reason = static_cast<int>(reason);

    // Keep waking the main thread until it exits; give up waiting after the
    // grace time and end the process from here.
    const std::int64_t given_up = now_ms() + STOP_GRACE_MS;
    while (now_ms() < given_up) {
        pthread_kill(main_thread, SIGUSR1);
        const timespec pause = span_of(20);
        nanosleep(&pause, nullptr);
    }
    const PortHandle port = watched_port;
    if (port != INVALID_PORT_HANDLE)
        port_abandon(port); // or the exit waits for it to drain
    const char text[] = "qdm7-flash: the port did not give way; ending without closing it\n";
    if (write(STDERR_FILENO, text, sizeof text - 1) < 0) {
        // Nothing more can be done about a lost message on the way out.
    }
    _exit(static_cast<int>(reason));
}

} // namespace

void stop_watch_start(std::uint32_t deadline_ms)
{
    deadline_after_ms = deadline_ms;
    main_thread = pthread_self();

    struct sigaction action{};
    action.sa_handler = wake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the wait must end
    sigaction(SIGUSR1, &action, nullptr);

    // The stop signals go to the watch only.
    const sigset_t stop_signals = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    // A reader of the trace that goes away must not end an update half
    // done, with the port left locked: the trace is then lost, nothing more.
    signal(SIGPIPE, SIG_IGN);

    pthread_t watcher;
    if (pthread_create(&watcher, nullptr, watch, nullptr) == 0)
        pthread_detach(watcher);
}

void stop_watch_port(PortHandle handle) { watched_port = handle; }

StopReason stop_requested() { return static_cast<StopReason>(stop_reason.load()); }

bool stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }
bool stdout_is_terminal() { return isatty(STDOUT_FILENO) != 0; }

int terminal_columns()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return 80;
    return size.ws_col;
}

void* program_instance() { return nullptr; }
