// The simulator's one loop: bytes from the updater taken off the port and
// handed to the device model at the wire rate, its replies written back when
// the wire would have delivered them, the power-on and the line's silences
// on time. One thread; it waits in ppoll() and nowhere else.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "device/qdm7_device.h"
#include "device/wire_pacing.h"
#include "platform/platform.h"
#include "tools/qdm7-sim/sim_options.h"
#include "tools/qdm7-sim/sim_port.h"

struct Sim {
    SimOptions options;
    Qdm7Device device;
    SimPort port;
    std::FILE* dump_file = nullptr; // made at the start, so a bad path fails before the update
    std::int64_t start_us = 0;

    InboundWire in;                 // updater to device
    std::int64_t last_rx_us = -1;   // arrival of the last byte at the device
    bool idle_reported = true;
    std::int64_t power_on_us = -1;  // scheduled power-on, once the first byte came

    OutboundWire out;               // device to updater
    bool write_blocked = false;

    std::uint64_t rx_bytes = 0;
    std::uint64_t tx_bytes = 0;
    std::uint32_t replies_sent = 0;
    std::int64_t drain_from_us = -1; // exiting after the reset: when the ack went out
};

// Microseconds on the monotonic clock.
std::int64_t sim_now_us();
// A line on standard error with --verbose, stamped with the seconds served.
void sim_log(const Sim& sim, const char* format, ...) QDM7_PRINTF(2, 3);
// The device model as the options describe it, its requests logged with --verbose.
void sim_set_up_device(Sim& sim);
// Runs until a stop signal (set by its handler, let through only while
// waiting under run_mask), the reset (with --exit-after-reset) or an error.
// Returns the exit status.
int sim_serve(Sim& sim, const sigset_t& run_mask, const volatile std::sig_atomic_t& stop_signal);
