// What a job has come to, read from its record. Apart from the machine so
// that a program that only shows a job (qdm7-flash's view) links it without
// a platform.
#include "engine/frames.h"
#include "engine/job.h"

namespace {

// Before programming has begun, the blocks a resume is still to check;
// after, those up to the offset.
std::int32_t acknowledged_blocks(const UpdateJob& job)
{
    switch (job.state) {
    case JobState::Start:
    case JobState::Link:
    case JobState::Contacting:
    case JobState::Resuming: return job.work.resume_blocks > 0 ? job.work.resume_blocks : 0;
    default: return job.offset / BLOCK_SIZE;
    }
}

} // namespace

JobResults job_results(const UpdateJob& job)
{
    const JobWork& work = job.work;
    JobResults results;
    results.state = job.state;
    results.blocks_acknowledged = acknowledged_blocks(job);
    results.blocks_total = (job.image_size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    results.device_crc_known = work.device_crc_known;
    results.device_crc = work.device_crc;
    results.timeouts = work.timeouts;
    results.unanswered_contacts = work.unanswered_contacts;
    results.stray_bytes = work.stray_bytes;
    results.echo_seen = work.echo_seen;
    results.resumed_at = work.resumed_at;
    return results;
}

void job_count_unanswered_contact(UpdateJob& job) { ++job.work.unanswered_contacts; }
