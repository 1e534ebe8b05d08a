// What a layer of qdm7-flash hands back once its work is over, the one
// convention for every layer from a port's run up to main: how it ended,
// the system's error number behind it, and what is left to say of it.
// Nothing below main prints it or ends the process; main prints it
// (print_outcome) and exits with its status (exit_status).
#pragma once

#include <cstdint>
#include <string>

// How it ended: one kind per exit status (exit_codes.h).
enum class OutcomeKind : std::uint8_t {
    Completed,     // every device updated (and on record, when asked)
    Fatal,         // a port, file or image that cannot be used; not all on record
    VerifyFailed,  // the device's CRC differed, or --verify found blocks that differ
    Deadline,      // the --deadline passed
    PortLost,      // the port went away (--no-reconnect)
    NotAllUpdated, // several ports, or a watch's units: not every one completed
    Usage,         // the command line is wrong
    Interrupted,   // Ctrl-C, SIGTERM or SIGHUP
};

struct Outcome {
    OutcomeKind kind = OutcomeKind::Completed;
    // The system's error number behind it (errno, or Windows' last error);
    // 0: none, or none known.
    unsigned long number = 0;
    // What is left to say, as it is to be printed on standard error: whole
    // lines, already fitted to the terminal; empty: nothing.
    std::string text;
};

// The exit status that goes with kind.
int exit_status(OutcomeKind kind);

// The outcome's text on standard error, after the trace on standard output
// has gone out; returns its exit status.
int print_outcome(const Outcome& outcome);
