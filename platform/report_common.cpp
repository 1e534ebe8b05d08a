// The parts of reporting that every real platform shares: the status buffer,
// its sink, the default status line and the trace on standard output.
#include <cstdarg>
#include <cstdio>

#include "platform/report.h"

namespace {

// Per thread, so that jobs on several threads that report through the
// default set_status do not write over one another's text.
thread_local char status_buffer[STATUS_TEXT_SIZE];
StatusSink status_sink = show_status;
void* owner_window = nullptr;
FatalSink installed_fatal_sink = nullptr;
void* fatal_sink_context = nullptr;

} // namespace

void set_status(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(status_buffer, sizeof status_buffer, format, args);
    va_end(args);
    status_sink(status_buffer);
}

const char* status_text() { return status_buffer; }

void show_status(const char* text)
{
    std::fprintf(stderr, "%s\n", text);
}

void set_status_sink(StatusSink sink) { status_sink = sink ? sink : show_status; }

void trace(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

void trace_flush() { std::fflush(stdout); }

void set_fatal_sink(FatalSink sink, void* context)
{
    installed_fatal_sink = sink;
    fatal_sink_context = context;
}

bool fatal_text_to_sink(const char* text)
{
    if (installed_fatal_sink == nullptr)
        return false;
    installed_fatal_sink(fatal_sink_context, text);
    return true;
}

void set_main_window(void* window) { owner_window = window; }
void* main_window() { return owner_window; }
