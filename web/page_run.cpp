#include "web/page_run.h"

#include <cstdarg>
#include <cstdio>

#include "engine/frames.h"
#include "platform/web/web_serial.h"
#include "tools/qdm7-flash/run/port_run.h"
#include "tools/qdm7-flash/view/job_view.h"
#include "web/page_job.h"
#include "web/page_view.h"

namespace {

// What the browser's "Failed to open serial port" means, for a person.
constexpr const char* OPEN_FAILED_TEXT =
    "the port could not be opened: another program holds it (a terminal, qdm7-flash, another browser tab), "
    "or, on Linux, this user may not open it (qdm7-flash --doctor says which)";
constexpr const char* CANCELLED_TEXT = "cancelled before the update ended: the device holds a partial image; "
                                       "update it again before using it";

struct Run {
    UpdateJob& job;
    PageRunRecord& record;
    int port_number;
    std::string port_name;
    PortHandle port = INVALID_PORT_HANDLE;
    std::uint32_t earlier_resends = 0; // of the attempts before this one
    bool power_hint_said = false;
    bool stray_hint_said = false;
};

std::string printed(const char* format, ...) QDM7_PRINTF(1, 2);
std::string printed(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string open_failure_cause(const PortFailure& failure)
{
    if (failure.busy)
        return OPEN_FAILED_TEXT;
    return std::string("the port could not be opened: ") + failure.text;
}

void trace_opening(const Run& run)
{
    job_trace(run.job, " . Opening serial port %s at %ld baud\n", run.port_name.c_str(), static_cast<long>(LINK_BAUD));
}

// The port open: its reads end with the reply, and the job starts on it from
// Start; after a loss it resumes after the blocks the device kept.
void start_on(Run& run)
{
    set_reply_rule(run.port, reply_is_valid, REPLY_QUIET_MS);
    run.earlier_resends = run.record.resends;
    page_job_start(run.job, run.port_name.c_str(), run.port);
}

// While contacting: what qdm7-flash says of a device that does not answer.
void note_contacting(Run& run, const PageJobResults& results)
{
    if (results.state != JobState::Contacting || results.unanswered_contacts < POWER_HINT_AFTER)
        return;
    if (!run.power_hint_said) {
        page_note(PageNote::Hint, POWER_ON_HINT);
        run.power_hint_said = true;
    }
    if (results.stray_bytes > 0 && !run.stray_hint_said) {
        page_note(PageNote::Hint, printed("%u bytes so far; %s", static_cast<unsigned>(results.stray_bytes),
                                          STRAY_BYTES_HINT));
        run.stray_hint_said = true;
    }
}

// Waits for the lost port's device and reopens it; false once the user cancels.
bool wait_for_device(Run& run, std::int32_t acknowledged)
{
    page_note(PageNote::Lost, printed("lost the port %s (the device went away); waiting for it to come back; "
                                      "Cancel gives up", run.port_name.c_str()));
    bool said_unopenable = false;
    for (;;) {
        const int number = page_wait_for_port(run.port_number);
        if (number < 0)
            return false;
        PortFailure failure;
        const PortHandle port = open_web_port(number, LINK_BAUD, failure);
        if (port != INVALID_PORT_HANDLE) {
            ++run.record.reconnects;
            run.port = port;
            run.port_number = number;
            run.port_name = page_port_name(number);
            if (acknowledged > 0)
                page_note(PageNote::Restarting, printed("the port is back as %s; resuming the update after the %d "
                                                        "blocks the device acknowledged, if it kept them",
                                                        run.port_name.c_str(), static_cast<int>(acknowledged)));
            else
                page_note(PageNote::Restarting, printed("the port is back as %s; starting the update again from "
                                                        "the beginning", run.port_name.c_str()));
            trace_opening(run);
            start_on(run);
            return true;
        }
        if (!said_unopenable && !failure.absent) {
            page_note(PageNote::Unopenable, printed("%s is back but cannot be opened (%s); trying again",
                                                    page_port_name(number).c_str(), failure.text));
            said_unopenable = true;
        }
    }
}

void close_run_port(Run& run) { close_port(run.port); }

PageRunResult tick_until_done(Run& run)
{
    for (;;) {
        if (page_cancel_requested()) {
            job_trace(run.job, "CANCELLED\n");
            run.record.cause = CANCELLED_TEXT;
            return PageRunResult::Cancelled;
        }
        job_tick(run.job);
        const PageJobResults results = page_job_results(run.job);
        run.record.blocks = results.blocks_done;
        run.record.resumed_at = results.resumed_at;
        run.record.resends = run.earlier_resends + results.resends;
        page_progress(results, run.record.resends);
        if (results.echo_seen) {
            job_trace(run.job, "ECHO\n");
            run.record.cause = ECHO_TEXT;
            return PageRunResult::Echoing;
        }
        if (results.state == JobState::Completed)
            return PageRunResult::Completed;
        if (results.state == JobState::Failed) {
            run.record.cause = "the device's CRC of the programmed flash differs from the image's: "
                               "power-cycle it and update it again";
            return PageRunResult::Failed;
        }
        note_contacting(run, results);
        if (port_lost(run.port)) {
            // As a time-out does, this ends the line of a block sent.
            job_trace(run.job, "PORT LOST\n");
            close_run_port(run);
            if (!wait_for_device(run, results.acknowledged)) {
                job_trace(run.job, "CANCELLED\n");
                run.record.cause = "the port went away, and the wait for it was cancelled: the device holds a "
                                   "partial image; update it again before using it";
                return PageRunResult::Cancelled;
            }
            continue;
        }
        sleep_ms(JOB_TICK_MS);
    }
}

} // namespace

PageRunResult run_page_update(UpdateJob& job, int port_number, PageRunRecord& record)
{
    record = PageRunRecord{};
    Run run{job, record, port_number, page_port_name(port_number)};
    trace_opening(run);
    PortFailure failure;
    run.port = open_web_port(port_number, LINK_BAUD, failure);
    if (run.port == INVALID_PORT_HANDLE) {
        record.cause = open_failure_cause(failure);
        job_trace(job, "%s\n", record.cause.c_str());
        record.result = PageRunResult::Error;
        return record.result;
    }
    start_on(run);
    record.result = tick_until_done(run);
    close_run_port(run);
    return record.result;
}
