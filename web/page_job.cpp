#include "web/page_job.h"

#include "engine/frames.h"
#include "engine/image.h"

bool page_job_prepare(UpdateJob& job, std::uint8_t* frame_buffer, const JobReporter& reporter,
                      const EmbeddedImage& image, std::string& error)
{
    prepare_job(job, frame_buffer, reporter, PAGE_JOB_OPTIONS);
    ImageFailure failure;
    if (!try_load_firmware_image(image.data, image.length, job, failure)) {
        error = failure.text;
        return false;
    }
    return true;
}

void page_job_start(UpdateJob& job, const char* port_name, PortHandle port) { start_job(job, port_name, port); }

PageJobResults page_job_results(const UpdateJob& job)
{
    const JobResults job_says = job_results(job);
    PageJobResults results;
    results.state = job_says.state;
    results.blocks_done = job.offset / BLOCK_SIZE;
    results.blocks_total = job.image_size / BLOCK_SIZE;
    results.acknowledged = job_says.blocks_acknowledged;
    results.resumed_at = job_says.resumed_at;
    results.resends = job_says.timeouts;
    results.unanswered_contacts = job_says.unanswered_contacts;
    results.stray_bytes = job_says.stray_bytes;
    results.echo_seen = job_says.echo_seen;
    results.device_crc_known = job_says.device_crc_known;
    results.device_crc = job_says.device_crc;
    return results;
}

std::int32_t page_job_image_size(const UpdateJob& job) { return job.image_size; }

std::uint16_t page_job_image_crc(const UpdateJob& job) { return image_crc(job.image, job.image_size); }
