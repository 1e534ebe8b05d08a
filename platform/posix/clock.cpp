#include <time.h>

#include "platform/platform.h"
#include "platform/posix/terminal.h"

std::uint32_t tick_count()
{
    // Truncation to 32 bits is the point: the counter wraps like GetTickCount.
    return static_cast<std::uint32_t>(monotonic_ns() / 1000000);
}

void sleep_ms(std::uint32_t milliseconds)
{
    timespec wait{static_cast<time_t>(milliseconds / 1000u),
                  static_cast<long>(milliseconds % 1000u) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
}
