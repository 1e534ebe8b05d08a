#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/report.h"

// The page shows the fatal text through the sink it installs; without one it
// goes to the console (standard error), and the module stops.
unsigned long failure_cause_code(FailureCause cause)
{
    return cause == FailureCause::OutOfMemory ? ENOMEM : EOVERFLOW;
}

void set_failure_cause(FailureCause cause)
{
    errno = static_cast<int>(failure_cause_code(cause));
}

void fatal_error(const char* message) { fatal_error_with_code(message, static_cast<unsigned long>(errno)); }

void fatal_error_with_code(const char* message, unsigned long error_code)
{
    char text[FATAL_TEXT_SIZE];
    format_fatal_text(text, message, error_code, error_code != 0 ? std::strerror(static_cast<int>(error_code)) : "");
    std::fflush(stdout);
    if (!fatal_text_to_sink(text)) {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
    std::exit(FATAL_EXIT_CODE);
}
