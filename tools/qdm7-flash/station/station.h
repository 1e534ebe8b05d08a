// The ports of one run, each updated by a worker (run/worker.h): one port
// on the main thread with the one-line display (view/display.h), which ends
// with a message and an exit status of its own for each way an update can
// end; several at once, each worker on a thread of its own so that a device
// that is slow, silent, failing, unplugged or impossible to open never stops
// or slows the others, with a line per port (view/ports_display.h) and a
// summary table. Each thread's deadline and Ctrl-C reach it through the stop
// watch (console/stop_watch.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/qdm7-flash/records/record_file.h"

struct StationSetup {
    std::vector<std::string> ports;
    std::uint32_t deadline_ms = 0; // for each device; 0: none
    bool reconnect = true;
    bool skip_if_current = false;  // verify each device first; update only one that differs
    std::string log_dir;           // --log-dir; empty: the trace of one port to standard output, of several nowhere
    RecordFile* report = nullptr;  // opened; null: no --report
    std::string report_path;
};

// Updates every port and returns the exit status (console/exit_codes.h).
// One port: as its update ended. Several: EXIT_COMPLETED when every device
// completed and is on record, EXIT_NOT_ALL_UPDATED otherwise, with the
// summary table on standard error; EXIT_INTERRUPTED after Ctrl-C, once
// every port is closed.
int run_station(const StationSetup& setup);

// qdm7-flash --verify on one port (run/verify.h), with the one-line
// display: EXIT_COMPLETED when the device holds the image (and was reset
// into it), EXIT_VERIFY_FAILED with the blocks that differ, else as an
// update ends (deadline, Ctrl-C, a port that cannot be had).
int run_verify(const std::string& port, std::uint32_t deadline_ms);

// The file in folder that takes a port's trace: the port's name made safe
// for a file name ("/dev/ttyUSB0" gives "ttyUSB0", "\\.\com3" "com3"), then
// the run's start as UTC ("-20250301T094107Z") and ".log"; a number is
// added when two ports would share a name, or a file of that name exists.
std::vector<std::string> trace_file_paths(const std::string& folder, const std::vector<std::string>& ports,
                                          std::int64_t utc_ms);
