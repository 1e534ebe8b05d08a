#include "engine/job.h"

#include "engine/frames.h"

namespace {

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

void send_frame(UpdateJob& job)
{
    port_write(job.port_handle, job.frame_buffer, job.frame_length);
}

// One read is one reply. Returns true for a frame with a valid CRC; anything
// else is dropped and the request goes again on its time-out.
bool read_reply(UpdateJob& job, bool dump)
{
    job.frame_length = port_read(job.port_handle, job.frame_buffer, job.buffer_capacity);
    if (dump && job.frame_length != 0) {
        trace("RX:");
        for (std::int32_t i = 0; i < job.frame_length; ++i)
            trace(" %02x", job.frame_buffer[i]);
        trace("\n");
    }
    return reply_is_valid(job.frame_buffer, job.frame_length);
}

void tick_contacting(UpdateJob& job)
{
    if (timed_out(job, job.reply_timeout)) {
        ++job.unanswered_contacts;
        job_enter(job, JobState::Contacting);
    }
    if (!read_reply(job, true))
        return;
    trace("REMOTE DEVICE LINK ESTABLISHED\n");
    job.reply_timeout = LINK_REPLY_TIMEOUT_MS;
    port_purge(job.port_handle);
    port_flush(job.port_handle);
    job_enter(job, JobState::Programming);
}

void tick_programming(UpdateJob& job)
{
    if (timed_out(job, job.reply_timeout)) {
        trace("TIMEOUT\n");
        ++job.timeouts;
        job_enter(job, JobState::Programming);
    }
    if (!read_reply(job, false))
        return;
    trace("- OK\n");
    trace_flush();
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
    trace("CRC FAIL\n");
    set_status("FAILED");
    job_enter(job, JobState::Failed);
}

void tick_verifying(UpdateJob& job)
{
    if (timed_out(job, job.reply_timeout)) {
        ++job.timeouts;
        job_enter(job, JobState::Verifying);
    }
    if (!read_reply(job, false))
        return;
    // A valid reply too short to carry the device's CRC ahead of its own CRC
    // bytes (a refusal of the query, say) has no CRC to compare: reading
    // bytes 11 and 12 would take stale bytes of an earlier frame, and
    // waiting for another reply would hang on "Verifying..." for ever.
    if (job.frame_length < MIN_CRC_REPLY_LENGTH) {
        trace("CRC reply too short: %d bytes\n", job.frame_length);
        fail_verification(job);
        return;
    }
    const std::uint8_t* reply = job.frame_buffer;
    const unsigned remote = reply[REPLY_CRC_LOW] + 256u * reply[REPLY_CRC_HIGH];
    const unsigned local = image_crc(job.image, job.image_size);
    trace("Remote CRC %#x\n", remote);
    trace("Local  CRC %#x\n", local);
    if (remote == local) {
        trace("CRCs match\n");
        set_status("Program Verified OK");
        job_enter(job, JobState::Resetting);
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
    trace("frame length %4d bytes received & OK\n", job.frame_length);
    job_enter(job, JobState::Completed);
}

} // namespace

void job_enter(UpdateJob& job, JobState state)
{
    switch (state) {
    case JobState::Link:
        // An image shorter than one block goes out as one short frame; a
        // whole block would be read from past the image's end.
        job.block_length = job.image_size < BLOCK_SIZE ? job.image_size : BLOCK_SIZE;
        job.offset = 0;
        job.reply_timeout = CONTACT_REPLY_TIMEOUT_MS;
        job.timeouts = 0;
        job.unanswered_contacts = 0;
        break;
    case JobState::Contacting:
        job.send_time = tick_count();
        trace("CONTACTING...\n");
        build_query_frame(job.frame_buffer, job.frame_length, unit_byte(job), job.base_address,
                          CONTACT_QUERY_LENGTH);
        send_frame(job);
        sleep_ms(CONTACT_SLEEP_MS);
        break;
    case JobState::Programming: {
        job.send_time = tick_count();
        const std::uint32_t address = job.base_address + static_cast<std::uint32_t>(job.offset);
        trace("PROG ADDR %#x, LEN %#x, FROM %#x...", address, static_cast<unsigned>(job.block_length),
              static_cast<unsigned>(job.offset));
        trace_flush();
        set_status("programming %#x", address);
        build_program_frame(job.frame_buffer, job.frame_length, unit_byte(job), address,
                            job.image + job.offset, job.block_length);
        send_frame(job);
        trace(" - SENT - ");
        trace_flush();
        break;
    }
    case JobState::Verifying:
        job.send_time = tick_count();
        trace("Verifying address %#x, image size %#x bytes\n", job.base_address,
              static_cast<unsigned>(job.image_size));
        set_status("Verifying...");
        build_query_frame(job.frame_buffer, job.frame_length, unit_byte(job), job.base_address,
                          static_cast<std::uint32_t>(job.image_size));
        send_frame(job);
        trace("frame length %4d bytes sent\n", job.frame_length);
        break;
    case JobState::Resetting:
        job.send_time = tick_count();
        trace("Resetting target\n");
        set_status("Resetting target...");
        build_reset_frame(job.frame_buffer, job.frame_length, unit_byte(job));
        send_frame(job);
        trace("frame length %4d bytes sent\n", job.frame_length);
        break;
    case JobState::Completed:
        set_status("Programming Completed OK");
        break;
    default:
        break;
    }
    job.state = state;
}

void job_tick(UpdateJob& job)
{
    switch (job.state) {
    case JobState::Start:
        job_enter(job, JobState::Link);
        break;
    case JobState::Link:
        set_status("Establishing Link...");
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
    default: // Failed, Completed and any value beyond: nothing to do
        break;
    }
}
