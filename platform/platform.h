// What the update engine needs from the platform, and nothing more: the four
// link operations on an open port, a millisecond tick counter, a sleep, and
// the status and trace sinks. Each platform (Windows, POSIX, the tests'
// virtual platform) provides one implementation, chosen by the build.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#  if defined(__MINGW32__)
#    define QDM7_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#  else
#    define QDM7_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#  endif
#else
#  define QDM7_PRINTF(fmt, args)
#endif

// An open serial port: a Windows HANDLE or a POSIX descriptor, widened.
using PortHandle = std::intptr_t;
inline constexpr PortHandle INVALID_PORT_HANDLE = -1;

// One blocking write of the whole frame; returns the bytes written.
std::int32_t port_write(PortHandle handle, const std::uint8_t* buffer, std::int32_t length);
// One read: ends when capacity bytes have come, when more than
// READ_INTERVAL_MS pass between two bytes, or READ_TOTAL_MS after it began.
// Returns the byte count, 0 on silence or failure. One read is one reply: the
// device sends a reply without pauses, and answers well within the total.
std::int32_t port_read(PortHandle handle, std::uint8_t* buffer, std::int32_t capacity);
inline constexpr std::uint32_t READ_INTERVAL_MS = 20;
inline constexpr std::uint32_t READ_TOTAL_MS = 100;
// Discards both the transmit and the receive queue.
void port_purge(PortHandle handle);
// Waits until pending output has gone out.
void port_flush(PortHandle handle);

// Milliseconds, 32 bits, wrapping; elapsed time is the unsigned difference.
std::uint32_t tick_count();
void sleep_ms(std::uint32_t milliseconds);

// Replaces the one-line status text the user sees.
void set_status(const char* format, ...) QDM7_PRINTF(1, 2);
// Diagnostic trace on standard output; no newline added, no flush.
void trace(const char* format, ...) QDM7_PRINTF(1, 2);
// Flushes the trace where the job asks for it.
void trace_flush();
