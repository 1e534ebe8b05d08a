// What qdm7-flash shows on standard error while the job runs: each status
// text on its own line, and what the status texts leave unsaid, drawn from
// the job record: the progress, a resend after a time-out, a device that does
// not answer because it is waiting to be power-cycled. On a terminal, lines
// that change (the progress line, the wait for power-on, an overdue reply)
// are redrawn in place, fitted to the terminal's width. The texts are
// progress.h's and display_text.h's; here they are drawn.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/job.h"
#include "tools/qdm7-flash/view/job_view.h"

inline constexpr std::size_t DISPLAY_LINE_SIZE = 256;

// What is on the screen of one job's run.
struct Display {
    enum class Live { None, Progress, Power, Overdue };
    const UpdateJob* job = nullptr;
    bool terminal = false;
    Live live = Live::None; // the line drawn last, still open to redraws
    char drawn[DISPLAY_LINE_SIZE] = "";
    std::uint32_t drawn_at = 0;
    JobWatch watch;
    bool power_hint_said = false;
    bool stray_hint_said = false;
};

// Shows the given job's run; terminal: standard error is a terminal.
void display_start(Display& shown, const UpdateJob& job, bool terminal);
// One status text, of the job or of qdm7-flash itself.
void display_status(Display& shown, const char* text);
// display_status as the job's reporter calls it; display is a Display.
void display_job_status(void* display, const char* text);
// After every tick: notes resends and redraws what changed.
void display_refresh(Display& shown);
// Ends a line being redrawn, before a final message.
void display_end(Display& shown);
// One message of qdm7-flash's own, "qdm7-flash: " and the text; on a
// terminal broken at blanks to fit its width.
void display_say(Display& shown, const char* format, ...) QDM7_PRINTF(2, 3);
