// The tests' platform: a virtual clock and an in-process QDM7 behind the link
// operations, so that a 10 s time-out costs no real time. Reads follow the
// serial port's time-outs exactly (20 ms between bytes, 100 ms in all), and
// its reply rule once set_reply_rule has set one.
//
// One link by default, on its own clock (now), for a single-threaded test.
// A run on several threads routes other handles to links of their own,
// each a device of its own (virtual_station.h), and every link then keeps
// the shared clock of virtual_time.h: an operation that takes time waits
// for it there.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "device/qdm7_device.h"
#include "engine/job.h"
#include "platform/serial_port.h"
#include "tests/support/test_bytes.h"

struct VirtualLink {
    Qdm7Device device;
    std::uint32_t now = 0;                  // the virtual tick counter
    std::uint32_t baud = 0;                 // 0: bytes take no time on the wire
    std::uint32_t power_on_at = 0;          // the device is off before this tick
    struct Byte {
        std::uint32_t time;
        std::uint8_t value;
    };
    std::deque<Byte> incoming;              // device to host, by arrival time
    std::string trace_text;
    std::vector<std::string> statuses;
    std::vector<std::vector<std::uint8_t>> written; // every frame the host wrote
    std::uint32_t purges = 0;
    std::uint32_t flushes = 0;
    std::uint32_t reads = 0;
    std::uint32_t request_noise_percent = 0; // requests hit by line noise on the way out
    XorShift32 noise;
    std::uint32_t requests_corrupted = 0;
    ReplyComplete reply_complete = nullptr; // set_reply_rule's, as a port keeps it
    std::uint32_t reply_quiet_ms = 0;
    bool log_reads = false;                 // keep what every read returned
    std::vector<std::vector<std::uint8_t>> reads_log; // empty entry: silence
    bool gone = false;                      // the device went away: reads and writes fail at once
    // No device but a loopback plug: each byte written comes back as it goes
    // out, and a write returns once the port has taken the bytes, as a
    // buffered port's does.
    bool echo = false;
};

// The one link that the platform functions act on.
VirtualLink& virtual_link();
// A fresh link: clock at start_tick, erased powered device, empty logs.
void virtual_link_reset(std::uint32_t start_tick = 0);
// Queues bytes that arrive at the host at the given tick (one after another
// at the wire rate), as a device or a noisy line would send them.
void virtual_link_inject(const std::vector<std::uint8_t>& bytes, std::uint32_t at);
// The device loses power now and gets it back off_ms later: what it was
// taking in or still had to send is lost, its flash keeps its contents.
// Returns true when a reply was still on its way (the device was busy).
bool virtual_link_power_cut(std::uint32_t off_ms);
// Milliseconds that n characters take on the wire at the link's baud rate.
std::uint32_t virtual_wire_ms(std::size_t n);
// The link operations on handle act on link from now on (null: on the one
// link again).
void virtual_link_route(PortHandle handle, VirtualLink* link);

// A job ready to run on the virtual link, as start-up prepares it (with the
// dialog's options unless others are given).
struct TestJob {
    UpdateJob job;
    std::vector<std::uint8_t> frame_buffer;
    std::vector<std::uint8_t> image;
};
void prepare_job(TestJob& test_job, const std::vector<std::uint8_t>& image, const JobOptions& options = {});
// Starts an update on the virtual port as the button does.
void start_job(UpdateJob& job);
// Ticks like the dialog's timer (a tick, then 10 ms) until the job completes
// or fails, or max_ticks have run. Returns the number of ticks run.
std::uint32_t run_job(UpdateJob& job, std::uint32_t max_ticks);
