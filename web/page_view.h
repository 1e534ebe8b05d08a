// What the page's C++ asks of the page's script (qdm7-update.js, which sets
// them as Module.page before the module starts): show a status text, a
// piece of trace, the progress and the run's own news, and say whether the
// user has asked to cancel. page_wait_for_port waits (ASYNCIFY).
#pragma once

#include <cstdint>
#include <string>

#include "web/page_job.h"

// The run's own news, beyond the job's status texts.
enum class PageNote : std::uint8_t {
    Hint,       // while contacting: the device seems off, or talks but not as a QDM7 loader
    Lost,       // the port went away; waiting for it to come back
    Unopenable, // back, but it cannot be opened yet
    Restarting, // reopened: the update starts again, resuming where it can
};

void page_status(const char* text);
void page_trace(const char* text);
void page_progress(const PageJobResults& results, std::uint32_t resends);
void page_note(PageNote note, const std::string& text);
bool page_cancel_requested();
// The port's name in the trace and the page's texts: its list entry.
std::string page_port_name(int number);
// Waits until a port that may be the lost one's device is in the page's
// list and returns its number; -1 once the user cancels.
int page_wait_for_port(int lost_number);
