// Several devices at once: one thread per port, each running one port run
// (port_run.h) with a job, a frame buffer, an image and a reporter of its
// own, so that a device that is slow, silent, failing, unplugged or
// impossible to open never stops or slows the others. The main thread only
// draws what the threads report. Each thread's deadline and Ctrl-C reach it
// through the stop watch (console.h), which it joins for its own life.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/qdm7-flash/device_record.h"
#include "tools/qdm7-flash/port_run.h"
#include "tools/qdm7-flash/record_file.h"

inline constexpr int EXIT_NOT_ALL_UPDATED = 5;

struct ManyPorts {
    std::vector<std::string> ports;
    std::uint32_t deadline_ms = 0; // for each device; 0: none
    bool reconnect = true;
    std::vector<std::string> trace_paths; // one per port, or none at all: no traces
    RecordFile* report = nullptr;         // null: no --report
    std::string report_path;
};

// Updates every port at once and waits for all of them. Returns the exit
// status: 0 when every device completed, EXIT_NOT_ALL_UPDATED otherwise,
// with the summary table on standard error; 130 after Ctrl-C, once every
// port is closed.
int update_many_ports(const ManyPorts& setup);

// The file in folder that takes a port's trace: the port's name made safe
// for a file name ("/dev/ttyUSB0" gives "ttyUSB0", "\\.\com3" "com3"), then
// the run's start as UTC ("-20250301T094107Z") and ".log"; a number is
// added when two ports would share a name, or a file of that name exists.
std::vector<std::string> trace_file_paths(const std::string& folder, const std::vector<std::string>& ports,
                                          std::int64_t utc_ms);

// What the record of a finished run says: its result, and the error text
// that goes with it.
DeviceRecord record_of_run(const PortRunRecord& run, std::uint32_t elapsed_ms, std::int32_t image_length,
                           std::uint32_t deadline_ms);
