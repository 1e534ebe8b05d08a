#include "tools/qdm7-flash/console/stop_watch.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/serial_port.h"
#include "tools/qdm7-flash/console/stop_watch_os.h"
#include "tools/qdm7-flash/records/record_file.h"

namespace os = stop_watch_os;

namespace {

// A thread the watch may have to stop: the one that started it, or a
// port's thread that joined it.
struct Watched {
    os::ThreadRef thread = 0;
    std::int64_t deadline_at = 0; // on os::now_ms()'s clock; 0: none
    std::atomic<PortHandle> port{INVALID_PORT_HANDLE};
    std::atomic<int> reason{static_cast<int>(StopReason::None)};
    std::int64_t stopped_at = 0;  // when its deadline passed
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

// How often a thread asked to stop is woken again until it gives way.
constexpr std::uint32_t WAKE_EVERY_MS = 20;
// How long a forced exit waits for a record being written to be whole.
constexpr std::int64_t RECORD_WAIT_MS = 200;

// Ends the process from the watch: every port given up as it is, never in
// the middle of a record.
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
    const std::int64_t give_up = os::now_ms() + RECORD_WAIT_MS;
    while (!record_write_lock().try_lock() && os::now_ms() < give_up)
        os::pause_ms(5);
    os::end_process("qdm7-flash: the port did not give way; ending without closing it\n",
                    static_cast<int>(reason));
}

// With watch_lock held: marks the threads whose deadline has passed, wakes
// every thread asked to stop, and deals with those that do not give way.
// Returns how long the watch may wait, or -1 when the process must end.
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
        os::wake(slot->thread);
        wait = std::min<std::int64_t>(wait, WAKE_EVERY_MS);
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

void watch()
{
    for (;;) {
        std::int64_t wait = 0;
        {
            const std::lock_guard<std::mutex> hold(watch_lock);
            wait = look_after_deadlines(os::now_ms());
        }
        if (wait < 0)
            force_exit(StopReason::Deadline);
        if (os::wait_for_interrupt(static_cast<std::uint32_t>(std::max<std::int64_t>(wait, 1))))
            break;
    }
    interrupted = static_cast<int>(StopReason::Interrupted);

    // Keep waking every thread until the process exits; give up waiting
    // after the grace time and end it from here.
    const std::int64_t given_up = os::now_ms() + STOP_GRACE_MS;
    while (os::now_ms() < given_up) {
        {
            const std::lock_guard<std::mutex> hold(watch_lock);
            for (Watched* slot : watched)
                os::wake(slot->thread);
        }
        os::pause_ms(WAKE_EVERY_MS);
    }
    force_exit(StopReason::Interrupted);
}

void add_watched(Watched& slot, std::uint32_t deadline_ms)
{
    slot.thread = os::current_thread();
    slot.deadline_at = deadline_ms != 0 ? os::now_ms() + deadline_ms : 0;
    slot.port = INVALID_PORT_HANDLE;
    slot.reason = static_cast<int>(StopReason::None);
    mine = &slot;
    const std::lock_guard<std::mutex> hold(watch_lock);
    watched.push_back(&slot);
}

} // namespace

void stop_watch_start(std::uint32_t deadline_ms)
{
    os::install();
    starter_slot.starter = true;
    add_watched(starter_slot, deadline_ms);
    os::start_thread(watch);
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
    os::release_thread(slot->thread);
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
