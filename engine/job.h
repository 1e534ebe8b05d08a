// The update job: a small state machine driven by a 10 ms timer that takes
// the device from silence through contact, block-by-block programming, a CRC
// comparison of the programmed range and a reset into the new firmware.
//
// A job's life: prepare_job once (its frame buffer, where it reports, the
// caller's options), an image (engine/image.h), then for each update the
// caller opens and configures the port and calls start_job (or resume_job),
// then job_tick every JOB_TICK_MS until the state is Completed or Failed;
// job_results says how far it got. The job keeps all of its state in its
// record: jobs on different ports may run on different threads. It never
// ends the program: what goes wrong with the device is a state of the job.
#pragma once

#include <cstdint>

#include "engine/frames.h"
#include "platform/platform.h"

enum class JobState : std::int32_t {
    Start = 0,       // an update was just requested; nothing sent yet
    Link = 1,        // counters reset; contact not yet sent
    Contacting = 2,  // contact query sent, waiting for any valid reply
    Programming = 3, // a program frame sent, waiting for its acknowledgement
    Verifying = 4,   // CRC query for the whole image sent
    Failed = 5,      // the CRCs differed; nothing more until a new start
    Resetting = 6,   // reset frame sent, waiting for its acknowledgement
    Completed = 7,   // the device acknowledged the reset
    Resuming = 8,    // CRC query of the blocks a reconnected device may have kept
};

// Reply time-outs before a resend: short while contacting (the query repeats
// every tick until the device powers up), long once the link is up because a
// 16 KiB block takes about 200 ms on the wire plus the device's write time.
inline constexpr std::uint32_t CONTACT_REPLY_TIMEOUT_MS = 100;
inline constexpr std::uint32_t LINK_REPLY_TIMEOUT_MS = 10000;
// The reset frame is resent on a fixed period, not on the reply time-out.
inline constexpr std::uint32_t RESET_RESEND_MS = 100;
// Pause after each contact query, so the device has time to answer it.
inline constexpr std::uint32_t CONTACT_SLEEP_MS = 100;
// With discard_stale_input, how long after contact the replies still owed
// to earlier contact queries (a device that was already on answers each
// one) are let arrive before they are discarded: an FTDI adapter's 16 ms
// latency timer, and about as long again for the device to answer.
inline constexpr std::uint32_t CONTACT_SETTLE_MS = 30;
// Length asked for by the contact query.
inline constexpr std::uint32_t CONTACT_QUERY_LENGTH = 4;
// The pause between the end of one tick and the start of the next: the
// dialog's timer period, which every driver of a job keeps.
inline constexpr std::uint32_t JOB_TICK_MS = 10;

// Where one job's status texts and trace go. A callback left unset sends its
// text where the platform sends it (set_status, trace, trace_flush), so that
// a job without a reporter shows and traces exactly as a lone job always
// has. Each text comes whole, already formatted, and while job.state says
// what it is about: Start "Contacting Device...", Link "Establishing
// Link...", Resuming "Checking the blocks kept...", Programming each
// "programming" text, Verifying "Verifying..."
// and its outcome ("Program Verified OK" or "FAILED"), Resetting
// "Resetting target...", Completed "Programming Completed OK".
struct JobReporter {
    void* context = nullptr;
    void (*status)(void* context, const char* text) = nullptr;
    void (*trace)(void* context, const char* text) = nullptr;
    void (*trace_flush)(void* context) = nullptr;
};

// What the caller decides about its job: given once, to prepare_job, and
// kept for every start after. The defaults are the dialog's job.
struct JobOptions {
    // For a caller that must not take a port that sends back what it is sent
    // (a loopback) for a device: a contact query that comes back as it went
    // (byte for byte: a QDM7's reply to a query is longer, its CRC of the
    // range ahead of the frame's) is no contact, so no block goes to such a
    // port, however slowly it sends back; nor is a program frame that comes
    // back whole (its length, CRC and header) an acknowledgement. The
    // results' echo_seen then says so and the job waits on as for no reply.
    // Off, as the dialog's job takes any valid frame.
    bool refuse_echo = false;
    // For a caller whose reads end with the reply (set_reply_rule), so that
    // no reply left from an earlier exchange answers the request just sent:
    // input waiting before each request is written is discarded, and after
    // contact the late replies to earlier contact queries are waited for and
    // discarded before the first block. A contact query is then followed by
    // no pause: the read waits for its reply. Off, as the dialog's job
    // purges once, at the link.
    bool discard_stale_input = false;
    // For a caller that starts the job again on a device that may still hold
    // the start of this image (its port back after a loss): each start_job
    // resumes after the blocks the device had acknowledged before, as
    // resume_job does, unless the update before had ended (Completed or
    // Failed). Off: start_job always programs from block 0.
    bool resume = false;
};

// The job's working state. Only the job (job.cpp) reads or writes it;
// callers leave it alone and read what they need through job_results.
struct JobWork {
    JobOptions options; // as prepare_job was given them
    std::uint32_t timeouts = 0;
    std::uint32_t unanswered_contacts = 0;
    std::uint32_t stray_bytes = 0;
    bool echo_seen = false;
    // The last frame sent, to know its echo: its length, CRC and first
    // bytes (the whole of a query).
    std::int32_t sent_length = 0;
    std::uint16_t sent_crc = 0;
    std::uint8_t sent_head[QUERY_FRAME_LENGTH] = {};
    bool device_crc_known = false;
    std::uint16_t device_crc = 0;
    // The blocks the device may still hold, to be checked after contact:
    // halved while the device's CRC of them differs from the image's.
    std::int32_t resume_blocks = 0;
    std::int32_t resumed_at = 0;
};

// The one job record. The fields up to reply_timeout are its public part:
// callers read them (a display shows the offset and the state); prepare_job,
// the starts and the image loader (engine/image.h) set them, and the ticks
// move them on.
struct UpdateJob {
    const char* port_path = nullptr;
    PortHandle port_handle = 0;
    std::uint32_t baud_rate = 0;
    std::int32_t unit_address = 0;
    std::int32_t frame_length = 0;
    std::int32_t buffer_capacity = 0;
    std::uint8_t* frame_buffer = nullptr;
    JobState state = JobState::Start;
    const std::uint8_t* image = nullptr;
    std::uint32_t base_address = 0;
    std::int32_t offset = 0;
    std::int32_t image_size = 0;
    std::int32_t block_length = 0;
    std::uint32_t send_time = 0;
    std::uint32_t reply_timeout = 0;
    JobReporter reporter; // as prepare_job was given it
    JobWork work;         // the job's own: not for callers
};

// What the job has come to, for whoever shows or records it. The counts,
// the device's CRC, echo_seen and resumed_at are those of the current
// attempt: each start begins them afresh once it ticks into Link.
struct JobResults {
    JobState state = JobState::Start;
    // The blocks the device is known to have acknowledged: once programming
    // has begun, those up to the offset; before, those of an earlier attempt
    // that this one is still to check (a resume). What start_job resumes
    // after, with JobOptions::resume.
    std::int32_t blocks_acknowledged = 0;
    std::int32_t blocks_total = 0;         // of the image, a short last block counted
    bool device_crc_known = false;         // the verification's reply carried the device's CRC
    std::uint16_t device_crc = 0;
    std::uint32_t timeouts = 0;            // requests resent after their reply time-out (Resuming, Programming, Verifying)
    std::uint32_t unanswered_contacts = 0; // contact queries resent because none was answered in time
    // Bytes read while contacting that formed no valid reply (a device
    // running its firmware and talking, or a wrong speed).
    std::uint32_t stray_bytes = 0;
    bool echo_seen = false;                // with refuse_echo: the contact query or a block came back as it went
    std::int32_t resumed_at = 0;           // the block this attempt's programming began at
};

// Makes job a fresh job with no port and no image: frame_buffer (at least
// FRAME_BUFFER_SIZE bytes, kept by the caller for the job's life) as its
// buffer, the device's unit address, reporter as where it reports and
// options for all its starts. Nothing is acknowledged yet.
void prepare_job(UpdateJob& job, std::uint8_t* frame_buffer, const JobReporter& reporter = {},
                 const JobOptions& options = {});

// The update button's press, after the caller has opened and configured the
// port at port_path: the job takes port, at the link's baud rate, goes back
// to Start and reports "Contacting Device...". Pressed during an update, it
// starts again from the beginning; with options.resume, an update cut
// short (not Completed, not Failed) resumes after the blocks acknowledged
// so far (job_results' blocks_acknowledged), as resume_job does, while a
// start after an ended update is a new one, from block 0.
void start_job(UpdateJob& job, const char* port_path, PortHandle port);

// start_job for a device that the caller has found (by a verification,
// say) to hold the image's first kept_blocks blocks: after contact the job
// asks for the device's CRC of [base, base + kept_blocks blocks), halving
// the count until a range matches the image's or none is left, and programs
// from there. A resumed attempt whose final CRC differs is followed by one
// whole attempt from block 0 before "FAILED" (a device may erase a whole
// flash sector when a block inside it is written first after a power
// cycle). kept_blocks 0: from block 0. Unlike start_job it says nothing:
// its caller has been in touch with the device on this port already (the
// verification said "Contacting Device..." for it).
void resume_job(UpdateJob& job, const char* port_path, PortHandle port, std::int32_t kept_blocks);

// One step of the machine: at most one read, at most two sends.
void job_tick(UpdateJob& job);

// The job's state, progress and counts as they are now.
JobResults job_results(const UpdateJob& job);

// For a caller that contacts the device itself on the job's port and
// through its record (a verification before the update): one of its
// contact queries went unanswered. Counted with the job's own, so that the
// results tell whoever shows the job that the device may be off.
void job_count_unanswered_contact(UpdateJob& job);

// The job's own reporting, through its reporter. Texts longer than a line
// (JOB_TEXT_SIZE - 1 characters) are cut.
inline constexpr int JOB_TEXT_SIZE = 256;
void job_status(const UpdateJob& job, const char* format, ...) QDM7_PRINTF(2, 3);
void job_trace(const UpdateJob& job, const char* format, ...) QDM7_PRINTF(2, 3);
void job_trace_flush(const UpdateJob& job);
