#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/posix/terminal.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/console.h"
#include "tools/qdm7-flash/record_file.h"

namespace {

// A thread the watch may have to stop: the one that started it, or a
// port's thread that joined it.
struct Watched {
    pthread_t thread{};
    std::int64_t deadline_at = 0; // on now_ms()'s clock; 0: none
    std::atomic<PortHandle> port{INVALID_PORT_HANDLE};
    std::atomic<int> reason{static_cast<int>(StopReason::None)};
    std::int64_t stopped_at = 0;  // when its deadline passed (the watch's own)
    bool abandoned = false;       // its port given up after the grace time
    bool starter = false;         // a deadline here ends the process
};

std::atomic<int> interrupted{static_cast<int>(StopReason::None)};
// Never destroyed: the watch thread runs until the process ends, also
// while static objects are destroyed after main returns.
std::mutex& watch_lock = *new std::mutex;
std::vector<Watched*>& watched = *new std::vector<Watched*>; // under watch_lock
Watched starter_slot;
thread_local Watched* mine = nullptr;

// Its only job is to be delivered: a caught signal without SA_RESTART ends
// the poll() or tcdrain() that a watched thread is blocked in.
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

[[noreturn]] void say_and_exit(const char* text, std::size_t length, int status)
{
    if (write(STDERR_FILENO, text, length) < 0) {
        // Nothing more can be done about a lost message on the way out.
    }
    _exit(status);
}

// Ends the process from the watch: every port given up as it is (or the
// exit waits for each to drain), never in the middle of a record.
[[noreturn]] void force_exit(StopReason reason)
{
    {
        const std::lock_guard<std::mutex> hold(watch_lock);
        for (Watched* slot : watched) {
            const PortHandle port = slot->port;
            if (port != INVALID_PORT_HANDLE)
                port_abandon(port);
        }
    }
    const std::int64_t give_up = now_ms() + 200;
    while (!record_write_lock().try_lock() && now_ms() < give_up) {
        const timespec pause = span_of(5);
        nanosleep(&pause, nullptr);
    }
    const char text[] = "qdm7-flash: the port did not give way; ending without closing it\n";
    say_and_exit(text, sizeof text - 1, static_cast<int>(reason));
}

// With watch_lock held: marks the threads whose deadline has passed, wakes
// every thread asked to stop, and deals with those that do not give way.
// Returns how long the watch may sleep.
std::int64_t look_after_deadlines(std::int64_t now)
{
    std::int64_t wait = 1000;
    for (Watched* slot : watched) {
        if (slot->reason == static_cast<int>(StopReason::None)) {
            if (slot->deadline_at == 0)
                continue;
            if (now < slot->deadline_at) {
                wait = std::min(wait, slot->deadline_at - now);
                continue;
            }
            slot->reason = static_cast<int>(StopReason::Deadline);
            slot->stopped_at = now;
        }
        // Woken until it gives way; a thread stuck past the grace time has
        // its port given up under it, and the starting thread ends the process.
        pthread_kill(slot->thread, SIGUSR1);
        wait = std::min<std::int64_t>(wait, 20);
        if (now - slot->stopped_at < STOP_GRACE_MS || slot->abandoned)
            continue;
        if (slot->starter)
            return -1;
        const PortHandle port = slot->port;
        if (port != INVALID_PORT_HANDLE)
            port_abandon(port);
        slot->abandoned = true;
    }
    return wait;
}

void* watch(void*)
{
    const sigset_t stop_signals = stop_signal_set();
    for (;;) {
        std::int64_t wait = 0;
        {
            const std::lock_guard<std::mutex> hold(watch_lock);
            wait = look_after_deadlines(now_ms());
        }
        if (wait < 0)
            force_exit(StopReason::Deadline);
        const timespec span = span_of(std::max<std::int64_t>(wait, 1));
        if (sigtimedwait(&stop_signals, nullptr, &span) > 0)
            break;
    }
    interrupted = static_cast<int>(StopReason::Interrupted);

    // Keep waking every thread until the process exits; give up waiting
    // after the grace time and end it from here.
    const std::int64_t given_up = now_ms() + STOP_GRACE_MS;
    while (now_ms() < given_up) {
        {
            const std::lock_guard<std::mutex> hold(watch_lock);
            for (Watched* slot : watched)
                pthread_kill(slot->thread, SIGUSR1);
        }
        const timespec pause = span_of(20);
        nanosleep(&pause, nullptr);
    }
    force_exit(StopReason::Interrupted);
}

void add_watched(Watched& slot, std::uint32_t deadline_ms)
{
    slot.thread = pthread_self();
    slot.deadline_at = deadline_ms != 0 ? now_ms() + deadline_ms : 0;
    slot.port = INVALID_PORT_HANDLE;
    slot.reason = static_cast<int>(StopReason::None);
    mine = &slot;
    const std::lock_guard<std::mutex> hold(watch_lock);
    watched.push_back(&slot);
}

} // namespace

void stop_watch_start(std::uint32_t deadline_ms)
{
    struct sigaction action{};
    action.sa_handler = wake;
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

    starter_slot.starter = true;
    add_watched(starter_slot, deadline_ms);
    pthread_t watcher;
    if (pthread_create(&watcher, nullptr, watch, nullptr) == 0)
        pthread_detach(watcher);
}

void stop_watch_join(std::uint32_t deadline_ms) { add_watched(*new Watched, deadline_ms); }

void stop_watch_leave()
{
    Watched* slot = mine;
    if (slot == nullptr || slot == &starter_slot)
        return;
    {
        const std::lock_guard<std::mutex> hold(watch_lock);
        watched.erase(std::remove(watched.begin(), watched.end(), slot), watched.end());
    }
    mine = nullptr;
    delete slot;
}

void stop_watch_port(PortHandle handle)
{
    if (mine != nullptr)
        mine->port = handle;
}

StopReason stop_requested()
{
    if (interrupted != static_cast<int>(StopReason::None))
        return StopReason::Interrupted;
    return mine != nullptr ? static_cast<StopReason>(mine->reason.load()) : StopReason::None;
}

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
