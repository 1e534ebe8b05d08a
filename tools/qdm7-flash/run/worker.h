// One port's whole update, the same for a station of one port and of
// several: its job set up (reporter, image), the port run, and its record.
// What a display shows of it goes through the worker's view; the station
// draws and decides what the end means.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "engine/image.h"
#include "engine/job.h"
#include "tools/qdm7-flash/records/device_record.h"
#include "tools/qdm7-flash/records/record_file.h"
#include "tools/qdm7-flash/run/port_run.h"

// Where a worker's trace goes.
enum class TraceTo : std::uint8_t {
    Platform, // standard output, as a lone job's
    File,     // WorkerSetup::trace_file (--log-dir)
    Nowhere,
};

struct WorkerSetup {
    std::string port;
    std::uint32_t deadline_ms = 0; // 0: none
    bool reconnect = true;
    // A thread of several joins the stop watch with its own deadline; a
    // lone port's deadline is the watch's own (stop_watch_start).
    bool own_thread = false;
    TraceTo trace_to = TraceTo::Platform;
    std::FILE* trace_file = nullptr;
    RecordFile* report = nullptr; // null: no --report
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
    // Once it has ended (but for Ctrl-C, which leaves no record, and a port
    // that was no unit, see record_unopened):
    bool recorded = false;     // a record was made
    DeviceRecord record;
    std::string record_error;  // it could not be written to the report: why
    std::uint32_t elapsed_ms = 0;
    // The image could not be loaded: why. Nothing was run or recorded, and
    // the result is Error.
    ImageFailure image_failure;
};

// Sets up, runs and records the worker's port; returns the run's result.
PortRunResult run_worker(Worker& worker);

// What qdm7-flash says of an image that could not be loaded: the fatal
// text the dialog would show, with the system's text for its number.
std::string image_failure_text(const ImageFailure& failure);

// What the record of a finished run says: its result, and the error text
// that goes with it.
DeviceRecord record_of_run(const PortRunRecord& run, std::uint32_t elapsed_ms, std::int32_t image_length,
                           std::uint32_t deadline_ms);
