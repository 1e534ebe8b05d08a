#include <windows.h>

#include <io.h>

#include <atomic>
#include <cstdio>

#include "platform/serial_port.h"
#include "tools/qdm7-flash/console.h"

namespace {

std::atomic<int> stop_reason{static_cast<int>(StopReason::None)};
std::atomic<PortHandle> watched_port{INVALID_PORT_HANDLE};
HANDLE main_thread = nullptr;
HANDLE interrupt_event = nullptr;
DWORD deadline_after_ms = 0;

BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    SetEvent(interrupt_event);
    return TRUE;
}

DWORD WINAPI watch(void*)
{
    const DWORD wait = deadline_after_ms != 0 ? deadline_after_ms : INFINITE;
    const StopReason reason = WaitForSingleObject(interrupt_event, wait) == WAIT_OBJECT_0
                                  ? StopReason::Interrupted
                                  : StopReason::Deadline;
    stop_reason = static_cast<int>(reason);

    // Keep cancelling the main thread's synchronous I/O until it exits;
    // give up waiting after the grace time and end the process from here.
    const DWORD started = GetTickCount();
    while (GetTickCount() - started < STOP_GRACE_MS) {
        CancelSynchronousIo(main_thread);
        Sleep(20);
    }
    const PortHandle port = watched_port;
    if (port != INVALID_PORT_HANDLE)
        port_abandon(port);
    const char text[] = "qdm7-flash: the port did not give way; ending without closing it\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, sizeof text - 1, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(reason));
    return 0;
}

} // namespace

void stop_watch_start(std::uint32_t deadline_ms)
{
    deadline_after_ms = deadline_ms;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread,
                    0, FALSE, DUPLICATE_SAME_ACCESS);
    interrupt_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    const HANDLE watcher = CreateThread(nullptr, 0, watch, nullptr, 0, nullptr);
    if (watcher != nullptr)
        CloseHandle(watcher);
}

void stop_watch_port(PortHandle handle) { watched_port = handle; }

StopReason stop_requested() { return static_cast<StopReason>(stop_reason.load()); }

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }
bool stdout_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

int terminal_columns()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 80;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
}

void* program_instance() { return GetModuleHandleA(nullptr); }
