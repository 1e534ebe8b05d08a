// One view of a job: what a display shows of it (its phase, blocks, rate,
// time left, resends, hints), derived here from the job's record and the few
// moments a JobWatch keeps, for the one-line display (display.h) and the line
// per port (ports_display.h) alike.
#pragma once

#include <cstdint>
#include <string>

#include "engine/job.h"

enum class PortPhase : std::uint8_t {
    Opening,
    Contacting,
    PowerWait,    // contacting, and nothing answered for a while: the device is off
    Programming,
    Verifying,
    Resetting,
    Reconnecting, // the port went away; waiting for it to come back
    Done,
    // A station's line, of no job:
    NotTaken,     // a unit came on the port but was not taken (its --count was reached)
    Cut,          // its update was cut short by Ctrl-C: not recorded, to be updated again
};

// A device that is on answers the first or the third contact query; after
// this many unanswered ones (about a second) it is plainly off.
inline constexpr std::uint32_t POWER_HINT_AFTER = 5;
inline constexpr const char* POWER_ON_HINT = "waiting for the device to power on: switch it off and on now";
// Bytes came while contacting, but none formed a reply.
inline constexpr const char* STRAY_BYTES_HINT =
    "bytes come but none is a reply: the device is not in its loader (it runs its firmware, or talks at another "
    "speed); power-cycle it now, while the update waits, to start its loader";
inline constexpr const char* SAMPLE_IMAGE_WARNING =
    "warning: sample image (not a release), not firmware for a real QDM7";

// The moments of a job's run that the job does not keep.
struct JobWatch {
    bool programming_timed = false;
    std::uint32_t programming_began = 0;
    std::int32_t programming_from = 0; // the block that programming, so timed, began at
    std::uint32_t contact_began = 0;
    std::uint32_t resends_seen = 0; // resends already said
};

// At each status text or tick, with the tick count now: notes when contact
// began (the job is in Link) and when programming did, also again when it
// begins anew at another block (a whole attempt after a resumed one).
void watch_job(JobWatch& watch, const UpdateJob& job, std::uint32_t now);
// A fresh attempt after a reconnect: its timer and resends counted afresh.
void restart_watch(JobWatch& watch);

PortPhase phase_of(const UpdateJob& job);
std::int32_t blocks_done(const UpdateJob& job);  // acknowledged
std::int32_t blocks_total(const UpdateJob& job);
// Programming time so far; 0 before the first block.
std::uint32_t programming_ms(const JobWatch& watch, std::uint32_t now);

// The rate and time left of bytes done of total in elapsed_ms; unknown
// (dashes on the screen) until a byte is done. After a resume, done and
// total count from the block programming began at: the blocks kept before
// it took no time of this attempt.
struct Pace {
    bool known = false;
    double kib_per_s = 0;
    long left_s = 0;
};
Pace pace_of(std::int64_t done_bytes, std::int64_t total_bytes, std::uint32_t elapsed_ms);

// A resend the job has made that watch has not said yet: true, with watch
// moved past it; the job's counts say which it is (its results' timeouts).
bool next_resend(JobWatch& watch, const UpdateJob& job);
// Its line: "no reply to block 3/97 within 10 s; resending it (resend 1)",
// or "... to the CRC query ...".
std::string resend_text(const UpdateJob& job, std::uint32_t resend);
