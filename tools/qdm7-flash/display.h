// What qdm7-flash shows on standard error while the job runs: each status
// text on its own line, and what the status texts leave unsaid, drawn from
// the job record: a resend after a time-out, a device that does not answer
// because it is waiting to be power-cycled. On a terminal, lines that change
// (the progress line, the wait for power-on, an overdue reply) are redrawn
// in place, fitted to the terminal's width.
#pragma once

#include "engine/job.h"

// Shows the given job's run; terminal: standard error is a terminal.
void display_start(const UpdateJob& job, bool terminal);
// The status sink.
void display_status(const char* text);
// After every tick: notes resends and redraws what changed.
void display_refresh();
// Ends a line being redrawn, before a final message.
void display_end();
// One message of qdm7-flash's own, "qdm7-flash: " and the text; on a
// terminal broken at blanks to fit its width.
void display_say(const char* format, ...) QDM7_PRINTF(1, 2);
