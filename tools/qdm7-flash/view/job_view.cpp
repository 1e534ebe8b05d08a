#include "tools/qdm7-flash/view/job_view.h"

#include "engine/frames.h"
#include "tools/qdm7-flash/console/printed.h"

void watch_job(JobWatch& watch, const UpdateJob& job, std::uint32_t now)
{
    if (job.state == JobState::Link)
        watch.contact_began = now;
    if (job.state == JobState::Programming &&
        (!watch.programming_timed || watch.programming_from != job_results(job).resumed_at)) {
        watch.programming_timed = true;
        watch.programming_began = now;
        watch.programming_from = job_results(job).resumed_at;
    }
}

void restart_watch(JobWatch& watch)
{
    watch.programming_timed = false;
    watch.resends_seen = 0;
}

PortPhase phase_of(const UpdateJob& job)
{
    switch (job.state) {
    case JobState::Start:
    case JobState::Link: return PortPhase::Contacting;
    case JobState::Contacting:
        return job_results(job).unanswered_contacts >= POWER_HINT_AFTER ? PortPhase::PowerWait : PortPhase::Contacting;
    case JobState::Programming: return PortPhase::Programming;
    case JobState::Verifying:
    case JobState::Resuming: // a CRC query, of the blocks kept
    case JobState::Failed: return PortPhase::Verifying;
    default: return PortPhase::Resetting;
    }
}

std::int32_t blocks_done(const UpdateJob& job) { return job.offset / BLOCK_SIZE; }

std::int32_t blocks_total(const UpdateJob& job) { return (job.image_size + BLOCK_SIZE - 1) / BLOCK_SIZE; }

std::uint32_t programming_ms(const JobWatch& watch, std::uint32_t now)
{
    return watch.programming_timed ? now - watch.programming_began : 0;
}

Pace pace_of(std::int64_t done_bytes, std::int64_t total_bytes, std::uint32_t elapsed_ms)
{
    Pace pace;
    if (done_bytes <= 0 || elapsed_ms == 0)
        return pace;
    const double bytes_per_ms = static_cast<double>(done_bytes) / elapsed_ms;
    pace.known = true;
    pace.kib_per_s = bytes_per_ms * 1000.0 / 1024.0;
    pace.left_s = static_cast<long>(static_cast<double>(total_bytes - done_bytes) / bytes_per_ms / 1000.0 + 0.5);
    return pace;
}

bool next_resend(JobWatch& watch, const UpdateJob& job)
{
    if (watch.resends_seen >= job_results(job).timeouts)
        return false;
    ++watch.resends_seen;
    return true;
}

std::string resend_text(const UpdateJob& job, std::uint32_t resend)
{
    const std::string what = job.state == JobState::Programming
                                 ? printed("block %ld/%ld", static_cast<long>(blocks_done(job) + 1),
                                           static_cast<long>(blocks_total(job)))
                                 : "the CRC query";
    return printed("no reply to %s within %u s; resending it (resend %u)", what.c_str(),
                   static_cast<unsigned>(job.reply_timeout / 1000), static_cast<unsigned>(resend));
}
