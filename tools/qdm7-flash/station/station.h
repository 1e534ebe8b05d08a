// The ports of one run, each updated by a worker (run/worker.h): one port
// on the main thread with the one-line display (view/display.h), which ends
// with a message and an exit status of its own for each way an update can
// end; several at once, each worker on a thread of its own so that a device
// that is slow, silent, failing, unplugged or impossible to open never stops
// or slows the others, with a line per port (view/ports_display.h) and a
// summary table. Each thread's deadline and Ctrl-C reach it through the
// host's stop (run/host.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/qdm7-flash/console/outcome.h"
#include "tools/qdm7-flash/run/worker.h"

struct StationSetup {
    UpdateSetup update; // log_dir empty: the trace of one port to standard output, of several nowhere
    std::vector<std::string> ports;
};

// Updates every port; returns how the run ended, its text the closing
// lines. One port: as its update ended. Several: Completed when every
// device completed and is on record, NotAllUpdated otherwise, after the
// summary table; Interrupted after Ctrl-C, once every port is closed. A
// trace file that cannot be written is refused before any port is touched
// (Fatal).
Outcome run_station(const StationSetup& setup);

// qdm7-flash --verify on one port (run/verify.h), with the one-line
// display: Completed when the device holds the image (and was reset into
// it), VerifyFailed with the blocks that differ, else as an update ends
// (deadline, Ctrl-C, a port that cannot be had).
Outcome run_verify(const Host& host, const std::string& port, std::uint32_t deadline_ms);

// The file in folder that takes a port's trace: the port's name made safe
// for a file name ("/dev/ttyUSB0" gives "ttyUSB0", "\\.\com3" "com3"), then
// the run's start as UTC ("-20250301T094107Z") and ".log"; a number is
// added when two ports would share a name, or a file of that name exists.
std::vector<std::string> trace_file_paths(const std::string& folder, const std::vector<std::string>& ports,
                                          std::int64_t utc_ms);
