// The engine's update job as the page uses it, all in one place: the job
// prepared with its image, each update started with the page's options, and
// what the page shows read back from it. The rest of the page's C++ knows
// the job only through these.
#pragma once

#include <cstdint>
#include <string>

#include "engine/job.h"
#include "platform/embedded_image.h"

// The options the page gives its job once, as qdm7-flash does: a port
// that sends the contact query back is an echo, and no block goes to it;
// input left from earlier exchanges is
// discarded before each request, and a start after a lost port checks and
// keeps the blocks the device acknowledged before.
inline constexpr JobOptions PAGE_JOB_OPTIONS{.refuse_echo = true, .discard_stale_input = true, .resume = true};

// What the page shows and decides on, read after each tick.
struct PageJobResults {
    JobState state = JobState::Start;
    std::int32_t blocks_done = 0;  // acknowledged in this attempt
    std::int32_t blocks_total = 0;
    std::int32_t acknowledged = 0; // what a resume after a loss may keep
    std::int32_t resumed_at = 0;   // the block this attempt's programming began at
    std::uint32_t resends = 0;     // requests resent after their time-out, this attempt
    std::uint32_t unanswered_contacts = 0;
    std::uint32_t stray_bytes = 0; // read while contacting, forming no reply
    bool echo_seen = false;
    bool device_crc_known = false;
    std::uint16_t device_crc = 0;
};

// Makes job ready for updates with the image the page carries (none: one
// block of zeros) and reporter as where it reports. False, with error
// saying why, when the image cannot be installed.
bool page_job_prepare(UpdateJob& job, std::uint8_t* frame_buffer, const JobReporter& reporter,
                      const EmbeddedImage& image, std::string& error);

// The update button's press on an open port (named port_name in the trace),
// or the start again on the port a lost device came back on: an update cut
// short resumes after what the device had acknowledged, if it kept it.
void page_job_start(UpdateJob& job, const char* port_name, PortHandle port);

PageJobResults page_job_results(const UpdateJob& job);

// The padded image's size and CRC, as the device reports it after an update.
std::int32_t page_job_image_size(const UpdateJob& job);
std::uint16_t page_job_image_crc(const UpdateJob& job);
