#include "tools/qdm7-flash/view/display.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/frames.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/view/display_text.h"
#include "tools/qdm7-flash/view/progress.h"

namespace {

// A block is acknowledged within about a quarter of a second; a reply this
// late is worth saying so while the resend is awaited.
constexpr std::uint32_t OVERDUE_AFTER_MS = 2000;
// Lines that change are redrawn at most this often.
constexpr std::uint32_t REDRAW_MS = 200;
constexpr std::size_t LINE_SIZE = DISPLAY_LINE_SIZE;

using Live = Display::Live;

void end_live(Display& shown)
{
    if (shown.live == Live::None)
        return;
    // The progress and the wait for power-on stay in view; a passed wait goes.
    if (shown.live == Live::Overdue)
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(std::strlen(shown.drawn)), "");
    else
        std::fputc('\n', stderr);
    std::fflush(stderr);
    shown.live = Live::None;
    shown.drawn[0] = '\0';
}

// Draws or redraws the open line, cut and padded to the terminal's width
// less one column, so that it never wraps.
void draw_live(Display& shown, Live kind, const char* text)
{
    if (shown.live != kind)
        end_live(shown);
    const int room = std::clamp(terminal_columns() - 1, 0, static_cast<int>(LINE_SIZE) - 1);
    char line[LINE_SIZE];
    std::snprintf(line, sizeof line, "%-*.*s", room, room, text);
    shown.drawn_at = tick_count();
    if (shown.live == kind && std::strcmp(line, shown.drawn) == 0)
        return;
    std::fprintf(stderr, "\r%s", line);
    std::fflush(stderr);
    std::snprintf(shown.drawn, sizeof shown.drawn, "%s", line);
    shown.live = kind;
}

// Seconds until the request goes again, once its reply is overdue; -1 before.
std::int32_t resend_in_s(const UpdateJob& job)
{
    const std::uint32_t waited = tick_count() - job.send_time;
    if (waited < OVERDUE_AFTER_MS)
        return -1;
    const std::uint32_t left = waited < job.reply_timeout ? job.reply_timeout - waited : 0;
    return static_cast<std::int32_t>((left + 999) / 1000);
}

void draw_progress(Display& shown)
{
    const UpdateJob& job = *shown.job;
    const JobResults results = job_results(job);
    const Progress progress{job.offset,
                            job.image_size,
                            BLOCK_SIZE,
                            programming_ms(shown.watch, tick_count()),
                            results.timeouts,
                            job.state == JobState::Programming ? resend_in_s(job) : -1,
                            static_cast<std::int64_t>(results.resumed_at) * BLOCK_SIZE};
    char line[LINE_SIZE];
    format_progress(line, sizeof line, progress, terminal_columns());
    draw_live(shown, Live::Progress, line);
}

void say_line(Display& shown, const char* text)
{
    end_live(shown);
    if (!shown.terminal) {
        std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
        return;
    }
    for (const std::string& line : message_lines(text, terminal_columns()))
        std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

// One line per resend, except that the progress line counts those of
// programming on a terminal.
void note_resends(Display& shown)
{
    const UpdateJob& job = *shown.job;
    while (next_resend(shown.watch, job)) {
        if (shown.terminal && job.state == JobState::Programming)
            continue;
        display_say(shown, "%s", resend_text(job, shown.watch.resends_seen).c_str());
    }
}

void note_contacting(Display& shown)
{
    const JobResults results = job_results(*shown.job);
    if (results.unanswered_contacts < POWER_HINT_AFTER)
        return;
    if (!shown.power_hint_said) {
        display_say(shown, "%s", POWER_ON_HINT);
        shown.power_hint_said = true;
    }
    if (results.stray_bytes > 0 && !shown.stray_hint_said) {
        display_say(shown, "%s so far; %s", counted(results.stray_bytes, "byte").c_str(), STRAY_BYTES_HINT);
        shown.stray_hint_said = true;
    }
    if (shown.terminal) {
        const std::string line = power_wait_text((tick_count() - shown.watch.contact_began) / 1000,
                                                 results.unanswered_contacts, results.stray_bytes);
        draw_live(shown, Live::Power, line.c_str());
    }
}

} // namespace

void display_start(Display& shown, const UpdateJob& job, bool terminal)
{
    shown = Display{};
    shown.job = &job;
    shown.terminal = terminal;
}

void display_status(Display& shown, const char* text)
{
    if (shown.job == nullptr) {
        say_line(shown, text);
        return;
    }
    note_resends(shown);
    // The job reports a text in the state it belongs to: the start of
    // contact in Link, each block sent in Programming.
    const UpdateJob& job = *shown.job;
    const bool programming = job.state == JobState::Programming;
    watch_job(shown.watch, job, tick_count());
    if (shown.terminal && programming) {
        draw_progress(shown);
        return;
    }
    // The last block is done once programming has moved on.
    if (shown.live == Live::Progress)
        draw_progress(shown);
    end_live(shown);
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

void display_job_status(void* display, const char* text)
{
    display_status(*static_cast<Display*>(display), text);
}

void display_refresh(Display& shown)
{
    note_resends(shown);
    const UpdateJob& job = *shown.job;
    if (job.state == JobState::Contacting && (!shown.terminal || tick_count() - shown.drawn_at >= REDRAW_MS))
        note_contacting(shown);
    if (!shown.terminal || tick_count() - shown.drawn_at < REDRAW_MS)
        return;
    if (job.state == JobState::Programming) {
        draw_progress(shown);
    } else if (job.state == JobState::Verifying && resend_in_s(job) >= 0) {
        draw_live(shown, Live::Overdue, overdue_crc_text(resend_in_s(job)).c_str());
    }
}

void display_end(Display& shown) { end_live(shown); }

void display_say(Display& shown, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = "qdm7-flash: " + vprinted(format, args);
    va_end(args);
    say_line(shown, text.c_str());
}
