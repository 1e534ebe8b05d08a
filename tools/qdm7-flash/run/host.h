// What a port's run, the station and the watch ask of the machine they run
// on: its clock and sleep, threads for the workers, the ports there are and
// opening one, and the stop (the deadline, Ctrl-C). A plain table of
// operations: os_host() is the real one (host_os.cpp, linked by the
// program); the tests give one over virtual ports and a virtual clock
// (tests/support/virtual_station.h), so that a station's hours run in
// milliseconds. An open port is then the platform's (serial_port.h,
// platform.h), as the engine's job uses it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/port_identity.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/console/stop_watch.h"

// A worker's thread, as its host keeps it.
using HostThread = std::uintptr_t;

struct Host {
    // The clock and the sleep the engine's job reads too (platform.h): the
    // two always agree.
    std::uint32_t (*tick_count)();
    void (*sleep_ms)(std::uint32_t ms);

    // Runs body(context) on a thread of its own, watched for the stop with
    // a deadline of its own counted from now (0: none); join_thread waits
    // for it to end.
    HostThread (*start_thread)(void (*body)(void* context), void* context, std::uint32_t deadline_ms);
    void (*join_thread)(HostThread thread);

    // The ports discovery sees, free or held, each with its identity.
    std::vector<PortIdentity> (*find_ports)();
    PortIdentity (*port_identity)(const char* path);
    // A regular file or a folder: plainly no port, told without opening it.
    bool (*plainly_no_port)(const char* path);
    // Opens the port at path for this program alone (a serial port only);
    // INVALID_PORT_HANDLE with failure saying why.
    PortHandle (*open_port)(const char* path, PortFailure& failure);
    // Why the port could not be opened, for a person: who holds it, or why
    // this user may not open it and how to mend that; else failure.text.
    std::string (*unopenable_text)(const char* path, const PortFailure& failure);

    // Starts watching for the stop on the calling thread, with its deadline
    // (0: none): once, on the main thread, before any worker's thread.
    void (*watch_for_stop)(std::uint32_t deadline_ms);
    // The calling thread's open port, which a forced exit gives up;
    // INVALID_PORT_HANDLE when none.
    void (*hold_port)(PortHandle handle);
    // For the calling thread: Ctrl-C, or its own deadline.
    StopReason (*stop_requested)();
    // A worker's thread done with its port: the stop no longer wakes it, so
    // that what it writes then (its record) is never cut short.
    void (*leave_stop)();

    // A trace file made afresh at path, for writing; null, with errno set,
    // when it cannot be.
    std::FILE* (*create_trace_file)(const char* path);

    // The fatal text the dialog would show for message and the system's
    // error number (0: none), with the system's words for it.
    std::string (*fatal_text)(const char* message, unsigned long number);
};

// The machine this program runs on.
const Host& os_host();
