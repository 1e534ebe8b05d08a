#include <windows.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/serial_port.h"
#include "tools/qdm7-flash/console.h"
#include "tools/qdm7-flash/record_file.h"

namespace {

// A thread the watch may have to stop: the one that started it, or a
// port's thread that joined it.
struct Watched {
    HANDLE thread = nullptr;
    DWORD deadline_at = 0; // GetTickCount() value; meaningful with has_deadline
    bool has_deadline = false;
    std::atomic<PortHandle> port{INVALID_PORT_HANDLE};
    std::atomic<int> reason{static_cast<int>(StopReason::None)};
    DWORD stopped_at = 0;
    bool abandoned = false;
    bool starter = false; // a deadline here ends the process
};

std::atomic<int> interrupted{static_cast<int>(StopReason::None)};
// Never destroyed: the watch thread runs until the process ends, also
// while static objects are destroyed after main returns.
std::mutex& watch_lock = *new std::mutex;
std::vector<Watched*>& watched = *new std::vector<Watched*>; // under watch_lock
Watched starter_slot;
thread_local Watched* mine = nullptr;
HANDLE interrupt_event = nullptr;

BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    SetEvent(interrupt_event);
    return TRUE;
}

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
    const DWORD began = GetTickCount();
    while (!record_write_lock().try_lock() && GetTickCount() - began < 200)
        Sleep(5);
    const char text[] = "qdm7-flash: the port did not give way; ending without closing it\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, sizeof text - 1, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(reason));
    ExitProcess(static_cast<UINT>(reason));
}

// With watch_lock held: marks the threads whose deadline has passed, keeps
// cancelling the synchronous I/O of every thread asked to stop, and deals
// with those that do not give way. Returns how long the watch may wait, or
// -1 when the process must end.
long look_after_deadlines(DWORD now)
{
    long wait = 1000;
    for (Watched* slot : watched) {
        if (slot->reason == static_cast<int>(StopReason::None)) {
            if (!slot->has_deadline)
                continue;
            const auto left = static_cast<long>(slot->deadline_at - now);
            if (left > 0) {
                wait = std::min(wait, left);
                continue;
            }
            slot->reason = static_cast<int>(StopReason::Deadline);
            slot->stopped_at = now;
        }
        CancelSynchronousIo(slot->thread);
        wait = std::min(wait, 20L);
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

DWORD WINAPI watch(void*)
{
    for (;;) {
        long wait = 0;
        {
            const std::lock_guard<std::mutex> hold(watch_lock);
            wait = look_after_deadlines(GetTickCount());
        }
        if (wait < 0)
            force_exit(StopReason::Deadline);
        if (WaitForSingleObject(interrupt_event, static_cast<DWORD>(std::max(wait, 1L))) == WAIT_OBJECT_0)
            break;
    }
    interrupted = static_cast<int>(StopReason::Interrupted);

    // Keep cancelling every thread's synchronous I/O until the process
    // exits; give up waiting after the grace time and end it from here.
    const DWORD started = GetTickCount();
    while (GetTickCount() - started < STOP_GRACE_MS) {
        {
            const std::lock_guard<std::mutex> hold(watch_lock);
            for (Watched* slot : watched)
                CancelSynchronousIo(slot->thread);
        }
        Sleep(20);
    }
    force_exit(StopReason::Interrupted);
}

void add_watched(Watched& slot, std::uint32_t deadline_ms)
{
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &slot.thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    slot.has_deadline = deadline_ms != 0;
    slot.deadline_at = GetTickCount() + deadline_ms;
    slot.port = INVALID_PORT_HANDLE;
    slot.reason = static_cast<int>(StopReason::None);
    mine = &slot;
    const std::lock_guard<std::mutex> hold(watch_lock);
    watched.push_back(&slot);
}

} // namespace

void stop_watch_start(std::uint32_t deadline_ms)
{
    interrupt_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    starter_slot.starter = true;
    add_watched(starter_slot, deadline_ms);
    const HANDLE watcher = CreateThread(nullptr, 0, watch, nullptr, 0, nullptr);
    if (watcher != nullptr)
        CloseHandle(watcher);
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
    CloseHandle(slot->thread);
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

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }
bool stdout_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

namespace {

bool screen_of_stderr(CONSOLE_SCREEN_BUFFER_INFO& info)
{
    return GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) != 0;
}

} // namespace

int terminal_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!screen_of_stderr(info))
        return 80;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
}

int terminal_rows()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!screen_of_stderr(info))
        return 24;
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return rows > 0 ? rows : 24;
}

bool terminal_cursor_moves()
{
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#  define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
    // A console older than Windows 10 takes no escape sequences: the lines
    // are then written as they would be to a file.
    const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) != 0 &&
           ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
            SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0);
}

void* program_instance() { return GetModuleHandleA(nullptr); }
