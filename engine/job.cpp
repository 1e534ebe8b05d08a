#include "engine/job.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/frames.h"

namespace {

// Enters a state, performing its entry action (usually sending the request
// whose reply that state awaits) once job.state is the new state.
void job_enter(UpdateJob& job, JobState state);

std::uint8_t unit_byte(const UpdateJob& job)
{
    return static_cast<std::uint8_t>(job.unit_address & 0xFF);
}

// Elapsed time is the unsigned difference, so a wrap of the counter after
// about 49.7 days does not look like a time-out.
bool timed_out(const UpdateJob& job, std::uint32_t limit)
{
    return tick_count() - job.send_time > limit;
}

// A sealed frame's CRC, as its last two bytes carry it.
std::uint16_t sealed_crc(const UpdateJob& job)
{
    return static_cast<std::uint16_t>(job.frame_buffer[job.frame_length - 2] +
                                      256u * job.frame_buffer[job.frame_length - 1]);
}

// The bytes of a frame that are kept to know its echo by.
std::size_t head_length(const UpdateJob& job)
{
    return static_cast<std::size_t>(job.frame_length < QUERY_FRAME_LENGTH ? job.frame_length : QUERY_FRAME_LENGTH);
}

void send_frame(UpdateJob& job)
{
    if (job.work.options.discard_stale_input)
        port_purge(job.port_handle);
    job.work.sent_length = job.frame_length;
    job.work.sent_crc = sealed_crc(job);
    std::memcpy(job.work.sent_head, job.frame_buffer, head_length(job));
    port_write(job.port_handle, job.frame_buffer, job.frame_length);
}

// The valid reply just read is the frame last sent, come back.
bool reply_is_echo(const UpdateJob& job)
{
    return job.frame_length == job.work.sent_length && sealed_crc(job) == job.work.sent_crc &&
           std::memcmp(job.frame_buffer, job.work.sent_head, head_length(job)) == 0;
}

// One read is one reply. Returns true for a frame with a valid CRC; anything
// else is dropped and the request goes again on its time-out.
bool read_reply(UpdateJob& job, bool dump)
{
    job.frame_length = port_read(job.port_handle, job.frame_buffer, job.buffer_capacity);
    if (dump && job.frame_length != 0) {
        job_trace(job, "RX:");
        for (std::int32_t i = 0; i < job.frame_length; ++i)
            job_trace(job, " %02x", job.frame_buffer[i]);
        job_trace(job, "\n");
    }
    return reply_is_valid(job.frame_buffer, job.frame_length);
}

void tick_contacting(UpdateJob& job)
{
    if (timed_out(job, job.reply_timeout)) {
        ++job.work.unanswered_contacts;
        job_enter(job, JobState::Contacting);
    }
    if (!read_reply(job, true)) {
        if (job.frame_length > 0)
            job.work.stray_bytes += static_cast<std::uint32_t>(job.frame_length);
        return;
    }
    // The echo of the query is the first sign of a loopback: a block sent
    // back at the wire's pace takes longer than a read to come whole.
    if (job.work.options.refuse_echo && reply_is_echo(job)) {
        job.work.echo_seen = true;
        return;
    }
    job_trace(job, "REMOTE DEVICE LINK ESTABLISHED\n");
    job.reply_timeout = LINK_REPLY_TIMEOUT_MS;
    if (job.work.options.discard_stale_input)
        sleep_ms(CONTACT_SETTLE_MS);
    port_purge(job.port_handle);
    port_flush(job.port_handle);
    const std::int32_t whole_blocks = job.image_size / BLOCK_SIZE;
    std::int32_t& kept = job.work.resume_blocks;
    kept = kept < 0 ? 0 : kept > whole_blocks ? whole_blocks : kept;
    job_enter(job, kept > 0 ? JobState::Resuming : JobState::Programming);
}

// Programming goes on from block `from`: the first block not kept.
void program_from(UpdateJob& job, std::int32_t from)
{
    job.work.resumed_at = from;
    job.offset = from * BLOCK_SIZE;
    job.work.device_crc_known = false;
    if (from > 0)
        job_trace(job, "RESUMING AT BLOCK %d, ADDR %#x\n", static_cast<int>(from),
                  job.base_address + static_cast<std::uint32_t>(job.offset));
    else
        job_trace(job, "PROGRAMMING FROM BLOCK 0\n");
    if (job.offset >= job.image_size) {
        job_enter(job, JobState::Verifying);
        return;
    }
    const std::int32_t left = job.image_size - job.offset;
    job.block_length = left < BLOCK_SIZE ? left : BLOCK_SIZE;
    job_enter(job, JobState::Programming);
}

void tick_resuming(UpdateJob& job)
{
    std::int32_t& kept = job.work.resume_blocks;
    if (timed_out(job, job.reply_timeout)) {
        ++job.work.timeouts;
        job_enter(job, JobState::Resuming);
    }
    if (!read_reply(job, false))
        return;
    if (job.frame_length < MIN_CRC_REPLY_LENGTH) {
        // Refused: nothing is known of what the device kept.
        job_trace(job, "CRC reply too short: %d bytes\n", job.frame_length);
        kept = 0;
    } else {
        const unsigned remote = job.frame_buffer[REPLY_CRC_LOW] + 256u * job.frame_buffer[REPLY_CRC_HIGH];
        const unsigned local = image_crc(job.image, kept * BLOCK_SIZE);
        job_trace(job, "Remote CRC %#x, local CRC %#x: %s\n", remote, local, remote == local ? "kept" : "not kept");
        if (remote == local) {
            program_from(job, kept);
            return;
        }
        kept /= 2;
    }
    if (kept > 0)
        job_enter(job, JobState::Resuming);
    else
        program_from(job, 0);
}

void tick_programming(UpdateJob& job)
{
    if (timed_out(job, job.reply_timeout)) {
        job_trace(job, "TIMEOUT\n");
        ++job.work.timeouts;
        job_enter(job, JobState::Programming);
    }
    if (!read_reply(job, false))
        return;
    if (job.work.options.refuse_echo && reply_is_echo(job)) {
        job.work.echo_seen = true;
        return;
    }
    job_trace(job, "- OK\n");
    job_trace_flush(job);
    job.offset += job.block_length;
    if (job.offset < job.image_size) {
        if (job.image_size - job.offset < job.block_length)
            job.block_length = job.image_size - job.offset;
        job_enter(job, JobState::Programming);
    } else {
        job_enter(job, JobState::Verifying);
    }
}

void fail_verification(UpdateJob& job)
{
    job_trace(job, "CRC FAIL\n");
    job_status(job, "FAILED");
    job_enter(job, JobState::Failed);
}

void tick_verifying(UpdateJob& job)
{
    if (timed_out(job, job.reply_timeout)) {
        ++job.work.timeouts;
        job_enter(job, JobState::Verifying);
    }
    if (!read_reply(job, false))
        return;
    // A valid reply too short to carry the device's CRC ahead of its own CRC
    // bytes (a refusal of the query, say) has no CRC to compare: reading
    // bytes 11 and 12 would take stale bytes of an earlier frame, and
    // waiting for another reply would hang on "Verifying..." for ever.
    if (job.frame_length < MIN_CRC_REPLY_LENGTH) {
        job_trace(job, "CRC reply too short: %d bytes\n", job.frame_length);
        fail_verification(job);
        return;
    }
    const std::uint8_t* reply = job.frame_buffer;
    const unsigned remote = reply[REPLY_CRC_LOW] + 256u * reply[REPLY_CRC_HIGH];
    job.work.device_crc_known = true;
    job.work.device_crc = static_cast<std::uint16_t>(remote);
    const unsigned local = image_crc(job.image, job.image_size);
    job_trace(job, "Remote CRC %#x\n", remote);
    job_trace(job, "Local  CRC %#x\n", local);
    if (remote == local) {
        job_trace(job, "CRCs match\n");
        job_status(job, "Program Verified OK");
        job_enter(job, JobState::Resetting);
    } else if (job.work.resumed_at > 0) {
        // The blocks before the resume were checked, but the device may have
        // lost some of them since; one whole attempt decides.
        job_trace(job, "CRC FAIL\n");
        job_trace(job, "RESUMED AT BLOCK %d: PROGRAMMING THE WHOLE IMAGE AGAIN\n", static_cast<int>(job.work.resumed_at));
        job.work.resume_blocks = 0;
        program_from(job, 0);
    } else {
        fail_verification(job);
    }
}

void tick_resetting(UpdateJob& job)
{
    if (timed_out(job, RESET_RESEND_MS))
        job_enter(job, JobState::Resetting);
    if (!read_reply(job, false))
        return;
    job_trace(job, "frame length %4d bytes received & OK\n", job.frame_length);
    job_enter(job, JobState::Completed);
}

// One text of the job, formatted here and handed to the reporter's callback,
// or without one to the platform's own function.
void report_text(const UpdateJob& job, void (*callback)(void* context, const char* text),
                 void (*platform)(const char* format, ...), const char* format, va_list args) QDM7_PRINTF(4, 0);
void report_text(const UpdateJob& job, void (*callback)(void* context, const char* text),
                 void (*platform)(const char* format, ...), const char* format, va_list args)
{
    char text[JOB_TEXT_SIZE];
    std::vsnprintf(text, sizeof text, format, args);
    if (callback != nullptr)
        callback(job.reporter.context, text);
    else
        platform("%s", text);
}

} // namespace

void prepare_job(UpdateJob& job, std::uint8_t* frame_buffer, const JobReporter& reporter, const JobOptions& options)
{
    job = UpdateJob{};
    job.buffer_capacity = FRAME_BUFFER_SIZE;
    job.frame_buffer = frame_buffer;
    job.unit_address = UNIT_ADDRESS;
    job.port_handle = INVALID_PORT_HANDLE;
    job.reporter = reporter;
    job.work.options = options;
}

void start_job(UpdateJob& job, const char* port_path, PortHandle port)
{
    const bool ended = job.state == JobState::Completed || job.state == JobState::Failed;
    resume_job(job, port_path, port,
               job.work.options.resume && !ended ? job_results(job).blocks_acknowledged : 0);
    job_status(job, "Contacting Device...");
}

void resume_job(UpdateJob& job, const char* port_path, PortHandle port, std::int32_t kept_blocks)
{
    job.work.resume_blocks = kept_blocks;
    job.baud_rate = LINK_BAUD;
    job.port_path = port_path;
    job.port_handle = port;
    job.state = JobState::Start;
}

namespace {

void job_enter(UpdateJob& job, JobState state)
{
    job.state = state;
    switch (state) {
    case JobState::Link:
        // An image shorter than one block goes out as one short frame; a
        // whole block would be read from past the image's end.
        job.block_length = job.image_size < BLOCK_SIZE ? job.image_size : BLOCK_SIZE;
        job.offset = 0;
        job.reply_timeout = CONTACT_REPLY_TIMEOUT_MS;
        job.work.timeouts = 0;
        job.work.unanswered_contacts = 0;
        job.work.device_crc_known = false;
        job.work.device_crc = 0;
        job.work.stray_bytes = 0;
        job.work.echo_seen = false;
        job.work.resumed_at = 0;
        break;
    case JobState::Contacting:
        job.send_time = tick_count();
        job_trace(job, "CONTACTING...\n");
        build_query_frame(job.frame_buffer, job.frame_length, unit_byte(job), job.base_address,
                          CONTACT_QUERY_LENGTH);
        send_frame(job);
        // A read that ends with the reply waits for it itself.
        if (!job.work.options.discard_stale_input)
            sleep_ms(CONTACT_SLEEP_MS);
        break;
    case JobState::Programming: {
        job.send_time = tick_count();
        const std::uint32_t address = job.base_address + static_cast<std::uint32_t>(job.offset);
        job_trace(job, "PROG ADDR %#x, LEN %#x, FROM %#x...", address, static_cast<unsigned>(job.block_length),
              static_cast<unsigned>(job.offset));
        job_trace_flush(job);
        job_status(job, "programming %#x", address);
        build_program_frame(job.frame_buffer, job.frame_length, unit_byte(job), address,
                            job.image + job.offset, job.block_length);
        send_frame(job);
        job_trace(job, " - SENT - ");
        job_trace_flush(job);
        break;
    }
    case JobState::Verifying:
        job.send_time = tick_count();
        job_trace(job, "Verifying address %#x, image size %#x bytes\n", job.base_address,
              static_cast<unsigned>(job.image_size));
        job_status(job, "Verifying...");
        build_query_frame(job.frame_buffer, job.frame_length, unit_byte(job), job.base_address,
                          static_cast<std::uint32_t>(job.image_size));
        send_frame(job);
        job_trace(job, "frame length %4d bytes sent\n", job.frame_length);
        break;
    case JobState::Resuming: {
        job.send_time = tick_count();
        const auto length = static_cast<std::uint32_t>(job.work.resume_blocks) * BLOCK_SIZE;
        job_trace(job, "RESUME CHECK ADDR %#x, LEN %#x (%d block%s)\n", job.base_address,
                  static_cast<unsigned>(length), static_cast<int>(job.work.resume_blocks),
                  job.work.resume_blocks == 1 ? "" : "s");
        job_status(job, "Checking the blocks kept...");
        build_query_frame(job.frame_buffer, job.frame_length, unit_byte(job), job.base_address, length);
        send_frame(job);
        break;
    }
    case JobState::Resetting:
        job.send_time = tick_count();
        job_trace(job, "Resetting target\n");
        job_status(job, "Resetting target...");
        build_reset_frame(job.frame_buffer, job.frame_length, unit_byte(job));
        send_frame(job);
        job_trace(job, "frame length %4d bytes sent\n", job.frame_length);
        break;
    case JobState::Completed:
        job_status(job, "Programming Completed OK");
        break;
    default:
        break;
    }
}

} // namespace

void job_tick(UpdateJob& job)
{
    switch (job.state) {
    case JobState::Start:
        job_enter(job, JobState::Link);
        break;
    case JobState::Link:
        job_status(job, "Establishing Link...");
        job_enter(job, JobState::Contacting);
        break;
    case JobState::Contacting:
        tick_contacting(job);
        break;
    case JobState::Programming:
        tick_programming(job);
        break;
    case JobState::Verifying:
        tick_verifying(job);
        break;
    case JobState::Resetting:
        tick_resetting(job);
        break;
    case JobState::Resuming:
        tick_resuming(job);
        break;
    default: // Failed, Completed and any value beyond: nothing to do
        break;
    }
}

void job_status(const UpdateJob& job, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    report_text(job, job.reporter.status, set_status, format, args);
    va_end(args);
}

void job_trace(const UpdateJob& job, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    report_text(job, job.reporter.trace, trace, format, args);
    va_end(args);
}

void job_trace_flush(const UpdateJob& job)
{
    if (job.reporter.trace_flush != nullptr)
        job.reporter.trace_flush(job.reporter.context);
    else
        trace_flush();
}
