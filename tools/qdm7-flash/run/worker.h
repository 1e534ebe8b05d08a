// One port's whole update, the same for a station of one port and of
// several and for a watch's unit: its job set up (reporter, image), the port
// run, and its record. What a display shows of it goes through the worker's
// view; the station draws and decides what the end means.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "engine/image.h"
#include "engine/job.h"
#include "tools/qdm7-flash/console/outcome.h"
#include "tools/qdm7-flash/records/device_record.h"
#include "tools/qdm7-flash/records/record_file.h"
#include "tools/qdm7-flash/run/host.h"
#include "tools/qdm7-flash/run/port_run.h"

// What every update of a run shares, for a station of given ports and a
// watch alike.
struct UpdateSetup {
    const Host* host = nullptr;
    std::uint32_t deadline_ms = 0; // for each device; 0: none
    bool reconnect = true;
    bool skip_if_current = false;  // verify each device first; update only one that differs
    std::string log_dir;           // --log-dir: a trace file per port; empty: none
    RecordFile* report = nullptr;  // opened; null: no --report
    std::string report_path;
};

// The --report file opened into report (update.report then points at it)
// and the --log-dir folder made, before any port is touched, so that one
// that cannot be written is said at once: Fatal, saying which and why.
Outcome open_outputs(UpdateSetup& update, RecordFile& report);

// Where a worker's trace goes.
enum class TraceTo : std::uint8_t {
    Platform, // standard output, as a lone job's
    File,     // WorkerSetup::trace_file (--log-dir)
    Nowhere,
};

// Whose worker it is.
enum class WorkerRole : std::uint8_t {
    Lone,         // the one port of a run, on the main thread
    OneOfSeveral, // a port of several given at once, on a thread of its own
    WatchedUnit,  // a unit a watch saw come, on a thread of its own
};

struct WorkerSetup {
    const Host* host = nullptr;
    std::string port;
    std::uint32_t deadline_ms = 0; // 0: none
    bool reconnect = true;
    TraceTo trace_to = TraceTo::Platform;
    std::FILE* trace_file = nullptr;
    RecordFile* report = nullptr; // null: no --report
    std::string report_path;
    // The port the record names: the one given (a station's slot), or with
    // false the one last opened (a reconnect may find the device elsewhere).
    bool record_given_port = false;
    // False for a port a watch saw come: one gone again, or not a serial
    // port, by the time it is opened, was no unit and leaves no record.
    bool record_unopened = true;
    std::string run_id; // put in the record; empty: none
    // --skip-if-current: verify first; a device that holds the image is
    // reset into it (Current), else updated from its first differing block.
    bool verify_first = false;
    // A watching station's unit: see PortRunOptions::watched.
    bool watched = false;
};

// The setup of the worker for port in a run, in its role; its trace goes
// nowhere but a lone port's, until open_trace gives it a file.
WorkerSetup worker_setup(const UpdateSetup& update, const std::string& port, WorkerRole role,
                         const std::string& run_id = {});
// The worker's trace to the file at path, made afresh. A file that cannot be
// written is refused alike in every mode: the update is not to start
// (a Fatal outcome that says so, with the system's error number).
Outcome open_trace(WorkerSetup& setup, const std::string& path);
// Closes the trace file, if one is open.
void close_trace(WorkerSetup& setup);

// What the worker tells its display; any may be null.
struct WorkerView {
    void* context = nullptr;
    void (*status)(void* context, const char* text) = nullptr; // the job's status texts
    void (*started)(void* context) = nullptr;                  // the image is in, the port run begins
    void (*ticked)(void* context) = nullptr;                   // after every tick
    void (*note)(void* context, PortRunNote note, const char* text) = nullptr;
};

struct Worker {
    WorkerSetup setup;
    WorkerView view;
    std::vector<std::uint8_t> frame_buffer = std::vector<std::uint8_t>(FRAME_BUFFER_SIZE);
    UpdateJob job;
    PortRunRecord run;
    // How it ended (run_worker's), once it has.
    Outcome outcome;
    // Once it has ended (but for Ctrl-C, which leaves no record, and a port
    // that was no unit, see record_unopened):
    bool recorded = false;     // a record was made
    DeviceRecord record;
    std::string record_error;  // it could not be written to the report: why
    // Its trace file could not be written (the system's text): nothing more
    // was written to it. Empty: it was, or it has none.
    std::string trace_error;
    std::uint32_t elapsed_ms = 0;
    // The image could not be loaded: why. Nothing was run or recorded, and
    // the outcome is Fatal with the dialog's fatal text.
    ImageFailure image_failure;
};

// Sets up, runs and records the worker's port; returns how it ended, as
// the port run says it (run_port), or the image's fatal text.
Outcome run_worker(Worker& worker);

// What the record of a finished run says: its result, and the error text
// that goes with it (the run's outcome's).
DeviceRecord record_of_run(const PortRunRecord& run, const Outcome& outcome, std::uint32_t elapsed_ms,
                           std::int32_t image_length);
