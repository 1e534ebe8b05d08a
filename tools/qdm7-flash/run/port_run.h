// One update on one port, from opening the port to closing it: the port
// opened and configured, its reads ending with the reply, the job ticked as
// the dialog's timer does, and, when the port goes away in the middle (a USB
// adapter pulled, a hub reset), the same device waited for, reopened and
// updated again from Start, resuming after the blocks it acknowledged
// before if its CRC of them shows it kept them (JobOptions::resume).
//
// A run keeps nothing outside its arguments, so runs on different ports may
// go on different threads. It reaches the machine only through its host
// (host.h), and ends early only when the host's stop asks, for the deadline
// or Ctrl-C.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "engine/job.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/console/outcome.h"
#include "tools/qdm7-flash/run/host.h"
#include "tools/qdm7-flash/run/verify.h"

enum class PortRunResult : std::uint8_t {
    Completed,   // one whole attempt ended with matching CRCs and the reset acknowledged
    Failed,      // the device's CRC differed ("FAILED")
    Deadline,    // the stop watch's deadline passed
    Lost,        // the port went away and reconnecting was not wanted
    Error,       // the port could not be opened at the start
    Echoing,     // the port sent a frame back as it went: not a QDM7 (ECHO_TEXT, verify.h)
    Interrupted, // Ctrl-C (or SIGTERM, SIGHUP)
    Current,     // a verification first found the image there: reset into it, nothing written
};

// What a run says of itself, beyond the job's own status texts.
enum class PortRunNote : std::uint8_t {
    Lost,       // the port went away; the run waits for the device
    Unopenable, // the device is back but cannot be opened yet (said once a wait)
    Restarting, // reopened: the update starts again, resuming where it can
    Checked,    // a verification first found blocks that differ: the update follows
    Unconfigured, // the port's line could not be set; it is tried as it is
};

// Why the port at path could not be opened, for a person: who holds it, or
// why this user may not open it and how to mend that, else the system's text.
// A watch's unit (watched) is not told to choose another port.
std::string open_failure_text(const Host& host, const char* path, const PortFailure& failure, bool watched = false);

// How often a wait for a lost port looks for it: often enough to be back at
// work at once, seldom enough to cost nothing.
inline constexpr std::uint32_t RECONNECT_POLL_MS = 200;
// How long after a loss a port by the same name is taken for the device
// back without having been seen gone: a USB port takes a moment to vanish
// after its hang-up, and must not be reopened on its way out.
inline constexpr std::uint32_t RECONNECT_SETTLE_MS = 1000;

// The options of a job that run_port drives: its reads end with the reply,
// it must not take a loopback for a device, and it resumes after a
// reconnect.
inline constexpr JobOptions PORT_RUN_JOB_OPTIONS{.refuse_echo = true, .discard_stale_input = true, .resume = true};

struct PortRunOptions {
    const Host* host = nullptr;
    std::uint32_t deadline_ms = 0; // the stop's, for what the outcome says of it
    bool reconnect = true; // false: a lost port ends the run (Lost)
    // --skip-if-current: once the port is open, a verification (verify.h)
    // first. A device that holds the image is reset into it (Current);
    // otherwise the update resumes at the first block that differs, the
    // blocks before it checked after contact as after a reconnect.
    bool verify_first = false;
    // A watching station's unit: the wait for a lost port asks for it to be
    // plugged back in, and says that Ctrl-C would end the whole watch.
    bool watched = false;
    void* context = nullptr;
    // After every tick, not while waiting for a lost port: for a display
    // drawn from the job's record. May be null.
    void (*ticked)(void* context) = nullptr;
    // The run's own news, with a line for the user. May be null.
    void (*note)(void* context, PortRunNote note, const char* text) = nullptr;
};

// The facts of a run, for its caller and for a record of the device.
struct PortRunRecord {
    PortRunResult result = PortRunResult::Error;
    std::string port;              // the port's path as last opened; a reconnect may find the device elsewhere
    std::string usb_serial;        // the device's USB serial number; empty when it has none or is not USB
    PortFailure open_failure;      // Error: why the port could not be opened
    bool waiting = false;          // ended while waiting for the lost port
    bool pseudo_terminal_gone = false; // Lost: a pseudo-terminal by the system's name, not to be waited for
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    bool answered = false;         // the device answered a contact query, in any attempt
    std::int32_t blocks = 0;       // blocks written and acknowledged in the last attempt (not those kept)
    std::uint32_t timeouts = 0;    // requests resent after their time-out, over every attempt
    std::uint32_t reconnects = 0;  // times the port was found again and the update restarted
    bool device_crc_known = false; // the device reported its CRC in the last attempt
    std::uint16_t device_crc = 0;
    std::uint16_t image_crc = 0;   // of the padded image
    VerifyRecord verified;         // verify_first: what the verification found
};

// Updates the device on the port at path with job, which is prepared
// afresh (prepare_job with PORT_RUN_JOB_OPTIONS) and has its image; the
// job reports through its own reporter. Fills record (which the job's port
// path points into while the run lasts) and returns how the run ended: its
// kind, the system's error number of a port that could not be opened, and
// what went wrong in a few words, as the device's record says it (nothing
// for a completion). The port is closed on return, whatever the result.
Outcome run_port(UpdateJob& job, const char* path, const PortRunOptions& options, PortRunRecord& record);
