// Ports as their threads see them, for the tests of the line per port.
#pragma once

#include "tools/qdm7-flash/view/ports_text.h"

inline PortView programming(std::int32_t done, std::uint32_t ms, std::uint32_t timeouts = 0)
{
    PortView view;
    view.phase = PortPhase::Programming;
    view.blocks_done = done;
    view.blocks_total = 97;
    view.programming_ms = ms;
    view.timeouts = timeouts;
    return view;
}

inline PortView done(DeviceResult result, std::uint32_t ms, const char* detail = "")
{
    PortView view;
    view.phase = PortPhase::Done;
    view.result = result;
    view.elapsed_ms = ms;
    view.detail = detail;
    return view;
}
