#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "platform/report.h"

unsigned long failure_cause_code(FailureCause cause)
{
    return cause == FailureCause::OutOfMemory ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ARITHMETIC_OVERFLOW;
}

void set_failure_cause(FailureCause cause)
{
    SetLastError(static_cast<DWORD>(failure_cause_code(cause)));
}

void fatal_error(const char* message) { fatal_error_with_code(message, GetLastError()); }

std::size_t format_platform_fatal_text(char* text, const char* message, unsigned long error_code)
{
    char system_text[FATAL_TEXT_SIZE] = "";
    if (error_code != 0) {
        const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(error_code), 0,
                                       system_text, sizeof system_text, nullptr);
        system_text[n < sizeof system_text ? n : sizeof system_text - 1] = '\0';
    }
    return format_fatal_text(text, message, error_code, system_text);
}

void fatal_error_with_code(const char* message, unsigned long error_code)
{
    char text[FATAL_TEXT_SIZE];
    format_platform_fatal_text(text, message, error_code);
    std::fflush(stdout);
    if (!fatal_text_to_sink(text)) {
        MessageBoxA(static_cast<HWND>(main_window()), text, FATAL_CAPTION, MB_ICONWARNING);
        Beep(FATAL_BEEP_HZ, FATAL_BEEP_MS);
    }
    std::exit(FATAL_EXIT_CODE);
}
