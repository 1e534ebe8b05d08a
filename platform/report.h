// Reporting: the status line, the diagnostic trace (declared with the rest of
// the engine's platform needs) and the fatal error that ends the program.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

inline constexpr std::size_t FATAL_TEXT_SIZE = 1000;
inline constexpr std::size_t STATUS_TEXT_SIZE = 64;

inline constexpr const char* FATAL_CAPTION = "Terminate Program";
inline constexpr unsigned FATAL_BEEP_HZ = 200;
inline constexpr unsigned FATAL_BEEP_MS = 1000;
inline constexpr int FATAL_EXIT_CODE = 1;

// Builds the fatal message into text (FATAL_TEXT_SIZE bytes, always
// terminated): the header, the message, then, for a non-zero error code, its
// number and the system's text for it, then the closing lines. When the
// system text leaves too little room, it is cut so the closing lines still
// fit; the whole text never passes the buffer. Returns the text's length.
std::size_t format_fatal_text(char* text, const char* message, unsigned long error_code,
                              const char* system_text);

// Why a failure that the system did not report itself happened. Each
// platform maps a cause to its own error code (errno, or Windows' last
// error), so that fatal_error names the real reason instead of a code left
// over from an earlier call.
enum class FailureCause : std::uint8_t {
    OutOfMemory, // an allocation failed
    TooLarge,    // a size does not fit the range it must fit
};
// The platform's error code for cause: the number fatal_error reports.
unsigned long failure_cause_code(FailureCause cause);
// Makes cause the platform's current error code; call it just before
// fatal_error.
void set_failure_cause(FailureCause cause);

// format_fatal_text with the system's own text for error_code: the text
// that fatal_error_with_code shows, for a program that says a failure so
// but ends in a way of its own.
std::size_t format_platform_fatal_text(char* text, const char* message, unsigned long error_code);

// Shows the fatal text (a message box on Windows, standard error elsewhere),
// sounds the low beep where there is one and exits with code 1.
[[noreturn]] void fatal_error(const char* message);
// fatal_error naming the given error code instead of the platform's last
// one: for a failure found earlier, the code kept since.
[[noreturn]] void fatal_error_with_code(const char* message, unsigned long error_code);

// The current status text, as last set on this thread.
const char* status_text();

// Where set_status sends its texts: by default a line on standard error; a
// program with a status field of its own (the dialog) installs a sink that
// shows them there.
using StatusSink = void (*)(const char* text);
void set_status_sink(StatusSink sink);
// The default sink: the text as a line on standard error.
void show_status(const char* text);

// Where the fatal text goes. By default the platform shows it (the message
// box and the low beep on Windows, standard error elsewhere); a console
// program installs its own, with a context of its own. The process exits
// with code 1 either way.
using FatalSink = void (*)(void* context, const char* text);
void set_fatal_sink(FatalSink sink, void* context = nullptr);
// Hands text to the installed sink; false when there is none.
bool fatal_text_to_sink(const char* text);

// The window that owns the status field and the fatal message box; null
// until the dialog exists. Opaque here so that this header stays portable.
void set_main_window(void* window);
void* main_window();
