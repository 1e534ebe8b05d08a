#include <windows.h>

#include "platform/platform.h"

std::uint32_t tick_count() { return GetTickCount(); }

void sleep_ms(std::uint32_t milliseconds) { Sleep(milliseconds); }
