#include "web/page_job.h"

#include "engine/frames.h"
#include "engine/image.h"

bool page_job_prepare(UpdateJob& job, std::uint8_t* frame_buffer, const JobReporter& reporter,
                      const EmbeddedImage& image, std::string& error)
{
    prepare_job(job, frame_buffer, reporter);
    if (image.length > static_cast<std::uint32_t>(MAX_IMAGE_LENGTH)) {
        error = "the firmware image built into this page is too large";
        return false;
    }
    if (!install_firmware_image(image.data, static_cast<std::int32_t>(image.length), job)) {
        error = "not enough memory to hold the firmware image";
        return false;
    }
    return true;
}

void page_job_start(UpdateJob& job, const char* port_name, PortHandle port, const PageJobOptions& options)
{
    job.refuse_echo = options.refuse_echo;
    job.discard_stale_input = options.discard_stale_input;
    job.resume_blocks = options.resume_blocks;
    start_job(job, port_name, port);
}

PageJobResults page_job_results(const UpdateJob& job)
{
    PageJobResults results;
    results.state = job.state;
    results.blocks_done = job.offset / BLOCK_SIZE;
    results.blocks_total = job.image_size / BLOCK_SIZE;
    results.acknowledged = job_acknowledged_blocks(job);
    results.resumed_at = job.resumed_at;
    results.resends = job.timeouts;
    results.unanswered_contacts = job.unanswered_contacts;
    results.stray_bytes = job.stray_bytes;
    results.echo_seen = job.echo_seen;
    results.device_crc_known = job.device_crc_known;
    results.device_crc = job.device_crc;
    return results;
}

std::int32_t page_job_image_size(const UpdateJob& job) { return job.image_size; }

std::uint16_t page_job_image_crc(const UpdateJob& job) { return image_crc(job.image, job.image_size); }
