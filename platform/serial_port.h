// The serial port: discovery of the ports present, opening and configuring
// the one the user picked, and closing it. The four link operations the job
// uses (port_write, port_read, port_purge, port_flush) are declared in
// platform/platform.h. One implementation per platform, chosen by the build.
//
// Different ports may be used from different threads at the same time, each
// port by one thread; discovery and port_table belong to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

inline constexpr int PORT_TABLE_SIZE = 999;   // at most 998 ever filled
inline constexpr int MAX_PORT_NUMBER = 998;
inline constexpr int PORT_PATH_SIZE = 256;

struct PortEntry {
    std::int32_t number;
    char path[PORT_PATH_SIZE];
};

// Filled once by discover_ports, in the order the ports are found; a list
// position is a table index.
extern PortEntry port_table[PORT_TABLE_SIZE];

// Where discovery shows the ports: the dialog's combo box, or a plain list.
struct PortList {
    void* context;
    void (*add)(void* context, const char* path);
    void (*select_first)(void* context);
};

// Probes the ports, adds each one that can be opened now to the list and to
// port_table, then selects the first list item if there is one. Returns the
// number found. Windows probes \\.\com1 to \\.\com998 in order; POSIX
// lists the terminals matching QDM7_PORT_GLOB (colon-separated glob
// patterns) or, without it, /dev/ttyUSB*, /dev/ttyACM*, /dev/cu.usbmodem*,
// /dev/cu.usbserial* and /dev/ttyS*, each pattern's matches in natural order.
int discover_ports(const PortList& list);

// The ports discovery looks at, in its order, without touching port_table:
// with usable_only those discover_ports would list (free to open now),
// otherwise also those another program holds.
std::vector<std::string> port_paths(bool usable_only);

// Traces the opening line (path and baud), opens the port at path
// exclusively and returns its handle. A port that cannot be opened (absent,
// or held by another program) ends the program through fatal_error with the
// system's error text.
PortHandle open_port(const char* path, std::uint32_t baud);

// open_port for a program that must touch nothing but a serial port:
// anything else at that path (a file, a directory, /dev/null, the console;
// on Windows whatever GetCommState refuses) is left as it was, nothing
// written to it or changed, and INVALID_PORT_HANDLE is returned.
PortHandle open_serial_port(const char* path, std::uint32_t baud);

// Why try_open_serial_port could not open a port.
struct PortOpenFailure {
    bool not_serial = false;  // something else is at that path; left untouched
    bool absent = false;      // nothing is at that path (now)
    unsigned long code = 0;   // the system's error code (errno, or Windows' last error); 0 with not_serial
    char text[256] = "";      // the system's text for it, or "not a serial port"
};

// open_serial_port for a caller that carries on after a failure (a wait for
// a port to come back, one port of several): no trace, and no fatal error.
// INVALID_PORT_HANDLE, with failure filled in, when the port cannot be had.
PortHandle try_open_serial_port(const char* path, PortOpenFailure& failure);

// Sets the line (baud, 8 data bits, even parity, 1 stop bit, no flow
// control, DTR and RTS off) and the read time-outs. 0 on success, -1 (with a
// message on standard error) when the port's state cannot be read.
int configure_port(PortHandle handle, std::uint32_t baud, std::uint32_t interval_ms);

// Closes the port and sets handle to INVALID_PORT_HANDLE; does nothing when
// it already is. On POSIX the port is given back as it was found: line
// settings restored, exclusive flag cleared.
void close_port(PortHandle& handle);

// True once a read or write on this open port found the device gone (a
// USB adapter pulled, the far side of a pseudo-terminal closed), as opposed
// to silent. Stays true until the port is closed.
bool port_lost(PortHandle handle);

// For an exit forced from another thread while the port may be stuck:
// discards pending input and output and gives the port back as close_port
// would, but leaves closing it to the process's end.
void port_abandon(PortHandle handle);
