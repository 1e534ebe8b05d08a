#include <emscripten.h>

#include "platform/platform.h"

std::uint32_t tick_count()
{
    // The page's monotonic clock in milliseconds; truncation to 32 bits is
    // the point: the counter wraps like GetTickCount.
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(emscripten_get_now()));
}

// The page's timer, waited on (ASYNCIFY): the page stays responsive meanwhile.
void sleep_ms(std::uint32_t milliseconds) { emscripten_sleep(milliseconds); }
