#include "tests/support/virtual_time.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

enum class State { Waiting, Running, Joining, Done };

struct Participant {
    std::int64_t wake = 0;
    State state = State::Waiting;
    VirtualThread joining = 0;
    std::thread thread;
};

struct Scheduler {
    std::mutex lock;
    std::condition_variable turn;
    bool on = false;
    std::int64_t now = 0; // never wraps; the ticks are its low 32 bits
    VirtualThread running = 0;
    VirtualThread next_id = 1;
    std::map<VirtualThread, std::unique_ptr<Participant>> threads; // by id: the order ties go in
};

Scheduler scheduler;
thread_local VirtualThread me = 0;

using Hold = std::unique_lock<std::mutex>;

[[noreturn]] void stuck(const char* why)
{
    std::fprintf(stderr, "virtual time: %s\n", why);
    std::abort();
}

// With the lock held: the thread due first runs, the clock moved to its time.
void hand_over()
{
    Participant* next = nullptr;
    VirtualThread next_id = 0;
    bool joining = false;
    for (auto& [id, thread] : scheduler.threads) {
        joining = joining || thread->state == State::Joining;
        if (thread->state == State::Waiting && (next == nullptr || thread->wake < next->wake)) {
            next = thread.get();
            next_id = id;
        }
    }
    if (next == nullptr) {
        if (joining)
            stuck("every thread waits for another to end");
        scheduler.running = 0;
        return;
    }
    if (next->wake > scheduler.now)
        scheduler.now = next->wake;
    next->state = State::Running;
    scheduler.running = next_id;
    scheduler.turn.notify_all();
}

void wait_turn(Hold& hold)
{
    scheduler.turn.wait(hold, [] { return scheduler.running == me; });
}

Participant& mine()
{
    const auto found = scheduler.threads.find(me);
    if (found == scheduler.threads.end())
        stuck("a thread that takes no part waits for virtual time");
    return *found->second;
}

void finish()
{
    const Hold hold(scheduler.lock);
    mine().state = State::Done;
    for (auto& [id, thread] : scheduler.threads) {
        if (thread->state == State::Joining && thread->joining == me) {
            thread->state = State::Waiting;
            thread->wake = scheduler.now;
        }
    }
    hand_over();
}

} // namespace

void virtual_time_begin(std::uint32_t start_tick)
{
    const Hold hold(scheduler.lock);
    if (scheduler.on)
        stuck("begun twice");
    scheduler.on = true;
    scheduler.now = start_tick;
    me = scheduler.next_id++;
    auto main = std::make_unique<Participant>();
    main->state = State::Running;
    scheduler.threads[me] = std::move(main);
    scheduler.running = me;
}

void virtual_time_end()
{
    const Hold hold(scheduler.lock);
    scheduler.threads.erase(me);
    if (!scheduler.threads.empty())
        stuck("ended with threads not joined");
    scheduler.on = false;
    scheduler.running = 0;
    scheduler.now = 0;
    me = 0;
}

bool virtual_time_on()
{
    const Hold hold(scheduler.lock);
    return scheduler.on;
}

std::uint32_t virtual_now()
{
    const Hold hold(scheduler.lock);
    return static_cast<std::uint32_t>(scheduler.now);
}

void virtual_wait_until(std::uint32_t tick)
{
    Hold hold(scheduler.lock);
    const auto ahead = static_cast<std::int32_t>(tick - static_cast<std::uint32_t>(scheduler.now));
    Participant& self = mine();
    self.wake = scheduler.now + (ahead > 0 ? ahead : 0);
    self.state = State::Waiting;
    hand_over();
    wait_turn(hold);
}

VirtualThread virtual_spawn(std::function<void()> body)
{
    const Hold hold(scheduler.lock);
    const VirtualThread id = scheduler.next_id++;
    auto thread = std::make_unique<Participant>();
    thread->wake = scheduler.now;
    Participant& started = *thread;
    scheduler.threads[id] = std::move(thread);
    started.thread = std::thread([id, run = std::move(body)] {
        {
            Hold turn(scheduler.lock);
            me = id;
            wait_turn(turn);
        }
        run();
        finish();
    });
    return id;
}

void virtual_join(VirtualThread id)
{
    std::thread ended;
    {
        Hold hold(scheduler.lock);
        const auto found = scheduler.threads.find(id);
        if (found == scheduler.threads.end())
            stuck("joined a thread it does not know");
        if (found->second->state != State::Done) {
            Participant& self = mine();
            self.state = State::Joining;
            self.joining = id;
            hand_over();
            wait_turn(hold);
        }
        ended = std::move(scheduler.threads.at(id)->thread);
        scheduler.threads.erase(id);
    }
    ended.join();
}
