// One update from the page, on one port of its list, from opening the port
// to closing it, as qdm7-flash's port run does it: reads that end with the
// reply, stale input discarded, an echo told at the contact query, the job
// ticked as the dialog's timer does, and, when the port goes away in the
// middle, the device waited for (until the user cancels), reopened and
// updated again from Start, resuming after the blocks whose CRC shows the
// device kept them.
#pragma once

#include <cstdint>
#include <string>

#include "engine/job.h"

enum class PageRunResult : std::int32_t {
    Completed = 0, // matching CRCs and the reset acknowledged
    Failed = 1,    // the device's CRC differed ("FAILED")
    Echoing = 2,   // the port sent a request back as it went
    Cancelled = 3, // the user cancelled (also while waiting for a lost port)
    Error = 4,     // the port could not be opened
};

struct PageRunRecord {
    PageRunResult result = PageRunResult::Error;
    std::string cause;           // in plain words, when the run did not complete
    std::int32_t blocks = 0;     // acknowledged in the last attempt
    std::int32_t resumed_at = 0; // the block the last attempt began programming at
    std::uint32_t resends = 0;   // over every attempt
    std::uint32_t reconnects = 0;
};

// Updates the device on the port numbered port_number in the page's list
// with job, which page_job_prepare made ready.
PageRunResult run_page_update(UpdateJob& job, int port_number, PageRunRecord& record);
