// The update job: a small state machine driven by a 10 ms timer that takes
// the device from silence through contact, block-by-block programming, a CRC
// comparison of the programmed range and a reset into the new firmware.
#pragma once

#include <cstdint>

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
// Length asked for by the contact query.
inline constexpr std::uint32_t CONTACT_QUERY_LENGTH = 4;

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
    // Counts for whoever shows the job's progress; the job itself never
    // reads them. Reset when the link is (re)started.
    std::uint32_t timeouts = 0;            // requests resent after their reply time-out (Programming, Verifying)
    std::uint32_t unanswered_contacts = 0; // contact queries resent because none was answered in time
};

// One step of the machine: at most one read, at most two sends.
void job_tick(UpdateJob& job);
// Enters a state, performing its entry action (usually sending the request
// whose reply that state awaits).
void job_enter(UpdateJob& job, JobState state);
