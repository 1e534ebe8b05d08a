// The stop watch's operating system on Windows: a thread is woken by
// cancelling its synchronous I/O, Ctrl-C sets an event the watch waits on.
#include "tools/qdm7-flash/console/stop_watch_os.h"

#include <windows.h>

#include <cstring>

namespace {

HANDLE interrupt_event = nullptr;
void (*thread_body)() = nullptr;

BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    SetEvent(interrupt_event);
    return TRUE;
}

DWORD WINAPI run_thread_body(void*)
{
    thread_body();
    return 0;
}

} // namespace

namespace stop_watch_os {

void install()
{
    interrupt_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

ThreadRef current_thread()
{
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return reinterpret_cast<ThreadRef>(thread);
}

void release_thread(ThreadRef thread) { CloseHandle(reinterpret_cast<HANDLE>(thread)); }

void wake(ThreadRef thread) { CancelSynchronousIo(reinterpret_cast<HANDLE>(thread)); }

bool wait_for_interrupt(std::uint32_t ms) { return WaitForSingleObject(interrupt_event, ms) == WAIT_OBJECT_0; }

void start_thread(void (*body)())
{
    thread_body = body;
    const HANDLE thread = CreateThread(nullptr, 0, run_thread_body, nullptr, 0, nullptr);
    if (thread != nullptr)
        CloseHandle(thread);
}

std::int64_t now_ms() { return static_cast<std::int64_t>(GetTickCount64()); }

void pause_ms(std::uint32_t ms) { Sleep(ms); }

void end_process(const char* text, int status)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    ExitProcess(static_cast<UINT>(status));
}

} // namespace stop_watch_os
