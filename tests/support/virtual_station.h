// A bench of virtual QDM7 units for qdm7-flash's station and watch run
// in-process on virtual time: each unit a device of its own on its own line
// (virtual_link.h), plugged into and pulled out of named ports at virtual
// times, with files, ports that are no serial port and ports another
// program holds beside them; the host (tools/qdm7-flash/run/host.h) over it
// all, with its stop (the deadline, Ctrl-C) on the virtual clock; and a run
// that plays the bench's events while the station runs, capturing what it
// says on standard error. A program linking it has the serial port's
// operations on an open port (configure_port, close_port, port_lost,
// port_abandon) from here, and the link's from virtual_link.h, in place of
// the platform's.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/virtual_link.h"
#include "tools/qdm7-flash/console/outcome.h"
#include "tools/qdm7-flash/run/host.h"

// A unit: its device, its line, and who it is on USB.
struct VirtualUnit {
    VirtualLink link;
    std::string serial;              // its USB serial number; empty: no USB identity (as a pseudo-terminal)
    std::uint32_t power_on_after = 0; // off for this long after it is plugged in; UINT32_MAX: never on
};

// A fresh bench: no units, no ports, the stop not asked for.
void bench_reset();
// A new unit, its device erased and powered, its line unpaced unless baud
// is given (921600: as a real one). Kept until the next bench_reset.
VirtualUnit& bench_unit(const std::string& serial = {}, std::uint32_t baud = 0);
// The unit at path from now on; its device powered (after power_on_after).
void bench_plug(const std::string& path, VirtualUnit& unit);
// The unit at path pulled out: its port gone, lost to whoever has it open,
// and its device off (its flash kept).
void bench_pull(const std::string& path);
// A regular file at path (plainly no port), or a device that is no serial
// port (opened, refused as such).
void bench_file(const std::string& path);
void bench_no_serial_port(const std::string& path);
// The port at path held by another program: opening it is refused as busy.
void bench_hold(const std::string& path, const std::string& holder);
// Files made in folder go to a full disk (/dev/full) from now on.
void bench_full_folder(const std::string& folder);
// Ctrl-C, now.
void bench_interrupt();
// The ports there are now, as discovery would list them.
std::vector<PortIdentity> bench_ports();

// event at the virtual time at_ms of the next bench_run.
void bench_at(std::uint32_t at_ms, std::function<void()> event);

// The host over the bench.
const Host& bench_host();

struct BenchRun {
    Outcome outcome;
    std::string err;        // standard error, as the run wrote it
    std::uint32_t took_ms;  // in virtual time
};
// Runs body on virtual time from 0, the events at their times, capturing
// standard error (the events after body's end are played too).
BenchRun bench_run(const std::function<Outcome()>& body);

// Ports opened and not yet closed.
std::size_t bench_open_ports();
