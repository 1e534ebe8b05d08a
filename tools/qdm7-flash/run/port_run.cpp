#include "tools/qdm7-flash/run/port_run.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string>

#include "engine/frames.h"
#include "tools/qdm7-flash/console/printed.h"

namespace {

// One call of run_port.
struct Run {
    UpdateJob& job;
    const PortRunOptions& options;
    const Host& host;
    PortRunRecord& record;
    std::string given_path;
    PortIdentity device;            // as found at the first open
    std::uint32_t earlier_timeouts; // of the attempts before this one
};

void note(const Run& run, PortRunNote what, const char* format, ...) QDM7_PRINTF(3, 4);
void note(const Run& run, PortRunNote what, const char* format, ...)
{
    if (run.options.note == nullptr)
        return;
    va_list args;
    va_start(args, format);
    const std::string text = vprinted(format, args);
    va_end(args);
    run.options.note(run.options.context, what, text.c_str());
}

// The port, once opened, configured and the job started on it from Start.
void start_on(Run& run, const std::string& path, PortHandle port)
{
    run.record.port = path;
    run.host.hold_port(port);
    // A port that cannot be configured is still tried as it is.
    PortFailure failure;
    if (!configure_port(port, LINK_BAUD, READ_INTERVAL_MS, failure))
        note(run, PortRunNote::Unconfigured, "%s", failure.text);
    // A reply is taken as soon as it is whole, not after the line's 20 ms
    // quiet: the next request goes out at once. Replies left from earlier
    // exchanges are then discarded by the job (PORT_RUN_JOB_OPTIONS).
    set_reply_rule(port, reply_is_valid, REPLY_QUIET_MS);
    run.earlier_timeouts = run.record.timeouts;
    start_job(run.job, run.record.port.c_str(), port);
}

void close_run_port(Run& run)
{
    run.host.hold_port(INVALID_PORT_HANDLE);
    close_port(run.job.port_handle);
}

// The same device: the same USB vendor, product and serial number.
bool same_device(const PortIdentity& port, const PortIdentity& device)
{
    return port.kind == PortKind::Usb && port.usb_vid == device.usb_vid && port.usb_pid == device.usb_pid &&
           port.serial == device.serial;
}

// A pseudo-terminal named by the system (/dev/pts/7) gives its number to
// the next terminal made, whatever program makes it; only a name kept for
// the device, such as a link a simulator makes, can be waited for.
bool number_is_reused(const Run& run)
{
    return run.device.kind == PortKind::PseudoTerminal && run.given_path.rfind("/dev/", 0) == 0;
}

// Where the device is now: the port with its USB identity when it has a
// serial number (the system may number the port anew), else the same path.
// Empty while it is not to be seen.
std::string find_again(const Run& run)
{
    if (run.device.serial.empty())
        return run.given_path;
    for (const PortIdentity& port : run.host.find_ports()) {
        if (same_device(port, run.device))
            return port.path;
    }
    // A name outside the patterns searched, such as a link of its own.
    if (same_device(run.host.port_identity(run.given_path.c_str()), run.device))
        return run.given_path;
    return {};
}

// Waits for the lost port's device to come back and restarts the update on
// it; what ended the wait early otherwise.
StopReason wait_for_device(Run& run)
{
    const std::string lost = run.record.port;
    // In a watch Ctrl-C is no way out for one unit: it ends every one.
    const char* then = run.options.watched
                           ? ": plug it back in (Ctrl-C would end the whole watch, cutting every unit short)"
                           : "; Ctrl-C gives up";
    if (run.device.serial.empty())
        note(run, PortRunNote::Lost, "lost the port %s (the device went away); waiting for it to come back%s",
             lost.c_str(), then);
    else
        note(run, PortRunNote::Lost, "lost the port %s (the device went away); waiting for the device with "
             "USB serial number %s to come back%s", lost.c_str(), run.device.serial.c_str(), then);
    bool said_unopenable = false;
    // A port still there just after it was lost is the lost one on its way
    // out, not the device back: it is opened only once it was seen gone, or
    // after a while.
    bool seen_gone = false;
    const Host& host = run.host;
    const std::uint32_t lost_at = host.tick_count();
    for (;;) {
        if (host.stop_requested() != StopReason::None)
            return host.stop_requested();
        const std::string path = find_again(run);
        seen_gone = seen_gone || path.empty();
        if (!path.empty() && (seen_gone || host.tick_count() - lost_at >= RECONNECT_SETTLE_MS)) {
            PortFailure failure;
            const PortHandle port = host.open_port(path.c_str(), failure);
            if (port != INVALID_PORT_HANDLE) {
                ++run.record.reconnects;
                // What the job resumes after once started again.
                const std::int32_t acknowledged = job_results(run.job).blocks_acknowledged;
                if (acknowledged > 0)
                    note(run, PortRunNote::Restarting, "the port is back as %s; resuming the update after the %s "
                         "the device acknowledged, if it kept them", path.c_str(),
                         counted(acknowledged, "block").c_str());
                else
                    note(run, PortRunNote::Restarting, "the port is back as %s; starting the update again from "
                         "the beginning", path.c_str());
                job_trace(run.job, " . Opening serial port %s at %ld baud\n", path.c_str(),
                          static_cast<long>(LINK_BAUD));
                start_on(run, path, port);
                return StopReason::None;
            }
            seen_gone = seen_gone || failure.absent;
            if (!failure.absent && !said_unopenable) {
                note(run, PortRunNote::Unopenable, "%s is back but cannot be opened (%s); trying again",
                     path.c_str(), failure.text);
                said_unopenable = true;
            }
        }
        host.sleep_ms(RECONNECT_POLL_MS);
    }
}

// What the record keeps of the tick that just ran: the job's own counts and
// what its verification judged.
void note_tick(Run& run)
{
    const UpdateJob& job = run.job;
    const JobResults results = job_results(job);
    PortRunRecord& record = run.record;
    record.answered = record.answered || (job.state != JobState::Start && job.state != JobState::Link &&
                                          job.state != JobState::Contacting);
    // Those a resume found kept were not written in this attempt.
    record.blocks = std::max((job.offset + BLOCK_SIZE - 1) / BLOCK_SIZE - results.resumed_at, 0);
    record.timeouts = run.earlier_timeouts + results.timeouts;
    record.device_crc_known = results.device_crc_known;
    record.device_crc = results.device_crc;
}

// With verify_first, the verification on the freshly opened port: Current
// when the device holds the image (and was reset into it), Echoing when the
// port sends back what it is sent. Otherwise the job starts again, to
// resume at the first block that differs, and the update follows (None); a
// port lost meanwhile, the deadline or Ctrl-C are then met by its ticks.
std::optional<PortRunResult> verify_first(Run& run)
{
    UpdateJob& job = run.job;
    const VerifyResult result = verify_open_port(job, run.record.verified, run.host);
    run.record.answered = job.state != JobState::Contacting;
    if (result == VerifyResult::Holds) {
        run.record.device_crc_known = true;
        run.record.device_crc = run.record.image_crc;
        return PortRunResult::Current;
    }
    if (result == VerifyResult::Echoing) {
        job_trace_flush(job);
        return PortRunResult::Echoing;
    }
    job_trace_flush(job);
    const std::int32_t kept = result == VerifyResult::Differs ? run.record.verified.differing.front() : 0;
    if (result == VerifyResult::Differs) // "1 of 1 block differs", "1 of 97 blocks differ"
        note(run, PortRunNote::Checked, "%zu of %s %s; updating from block %ld",
             run.record.verified.differing.size(), counted(job.image_size / BLOCK_SIZE, "block").c_str(),
             job.image_size == BLOCK_SIZE ? "differs" : "differ", static_cast<long>(kept) + 1);
    // The job was started on the port, and "Contacting Device..." said, before
    // the verification: it begins again without saying it twice.
    resume_job(job, run.record.port.c_str(), job.port_handle, kept);
    return std::nullopt;
}

PortRunResult result_of(StopReason reason)
{
    return reason == StopReason::Deadline ? PortRunResult::Deadline : PortRunResult::Interrupted;
}

PortRunResult tick_until_done(Run& run)
{
    UpdateJob& job = run.job;
    const Host& host = run.host;
    for (;;) {
        if (host.stop_requested() != StopReason::None)
            return result_of(host.stop_requested());
        job_tick(job);
        job_trace_flush(job); // the Windows runtime cannot line-buffer it
        note_tick(run);
        if (job_results(job).echo_seen) {
            job_trace(job, "ECHO\n");
            job_trace_flush(job);
            return PortRunResult::Echoing;
        }
        if (job.state == JobState::Completed)
            return PortRunResult::Completed;
        if (job.state == JobState::Failed)
            return PortRunResult::Failed;
        // A cancelled wait can look like a lost port: the stop comes first.
        if (host.stop_requested() != StopReason::None)
            continue;
        if (port_lost(job.port_handle)) {
            // As a time-out does, this ends the line of a block sent; in any
            // other state it is a line of its own.
            job_trace(job, "PORT LOST\n");
            job_trace_flush(job);
            close_run_port(run);
            if (!run.options.reconnect)
                return PortRunResult::Lost;
            if (number_is_reused(run)) {
                note(run, PortRunNote::Lost, "the pseudo-terminal %s is gone for good: a new one by that name "
                     "would be another program's", run.record.port.c_str());
                run.record.pseudo_terminal_gone = true;
                return PortRunResult::Lost;
            }
            run.record.waiting = true;
            const StopReason stop = wait_for_device(run);
            if (stop != StopReason::None)
                return result_of(stop);
            run.record.waiting = false;
            continue;
        }
        if (run.options.ticked != nullptr)
            run.options.ticked(run.options.context);
        host.sleep_ms(JOB_TICK_MS);
    }
}

// What the run's record says of its end: its kind, the system's number for
// a port that could not be opened, and what went wrong in a few words.
Outcome outcome_of(const PortRunRecord& record, const PortRunOptions& options)
{
    const double deadline_s = options.deadline_ms / 1000.0;
    switch (record.result) {
    case PortRunResult::Completed:
    case PortRunResult::Current: return {};
    case PortRunResult::Failed:
        return {OutcomeKind::VerifyFailed, 0,
                record.device_crc_known
                    ? printed("CRC mismatch: the device has 0x%04x, the image 0x%04x",
                              static_cast<unsigned>(record.device_crc), static_cast<unsigned>(record.image_crc))
                    : "the device's reply to the CRC query is too short to carry a CRC"};
    case PortRunResult::Deadline:
        return {OutcomeKind::Deadline, 0,
                printed("deadline of %g s passed%s", deadline_s,
                        record.waiting     ? " while waiting for the lost port to come back"
                        : !record.answered ? " before the device answered"
                                           : "")};
    case PortRunResult::Lost:
        return {OutcomeKind::PortLost, 0,
                record.pseudo_terminal_gone ? "the pseudo-terminal went away" : "the port went away"};
    case PortRunResult::Error:
        return {OutcomeKind::Fatal, record.open_failure.code,
                open_failure_text(*options.host, record.port.c_str(), record.open_failure, options.watched)};
    case PortRunResult::Echoing: return {OutcomeKind::Fatal, 0, ECHO_TEXT};
    case PortRunResult::Interrupted: return {OutcomeKind::Interrupted, 0, "interrupted"};
    }
    return {OutcomeKind::Fatal, 0, "ended in an unknown way"};
}

} // namespace

std::string open_failure_text(const Host& host, const char* path, const PortFailure& failure, bool watched)
{
    const std::string text = host.unopenable_text(path, failure);
    return failure.busy && !watched ? text + "; close it, or choose another port" : text;
}

Outcome run_port(UpdateJob& job, const char* path, const PortRunOptions& options, PortRunRecord& record)
{
    record = PortRunRecord{};
    record.port = path;
    record.started = std::chrono::system_clock::now();
    record.image_crc = image_crc(job.image, job.image_size);
    Run run{job, options, *options.host, record, path, {}, 0};

    job_trace(job, " . Opening serial port %s at %ld baud\n", path, static_cast<long>(LINK_BAUD));
    const PortHandle port = run.host.open_port(path, record.open_failure);
    if (port == INVALID_PORT_HANDLE) {
        record.result = PortRunResult::Error;
    } else {
        // Read while the port is there: once it has gone, so has its identity.
        run.device = run.host.port_identity(path);
        if (run.device.kind == PortKind::Usb)
            record.usb_serial = run.device.serial;
        start_on(run, path, port);
        const std::optional<PortRunResult> verified = options.verify_first ? verify_first(run) : std::nullopt;
        record.result = verified ? *verified : tick_until_done(run);
        close_run_port(run);
    }
    record.ended = std::chrono::system_clock::now();
    return outcome_of(record, options);
}
