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
// number found. Windows probes \\.\com1 to \\.\com998 in order (every one:
// this is the dialog's list); POSIX lists the terminals matching
// QDM7_PORT_GLOB (colon-separated glob patterns) or, without it,
// /dev/ttyUSB*, /dev/ttyACM*, /dev/cu.usbmodem*, /dev/cu.usbserial* and
// /dev/ttyS*, each pattern's matches in natural order.
int discover_ports(const PortList& list);

// The ports discovery looks at, in its order, without touching port_table:
// with usable_only those free to open now, otherwise also those another
// program holds. On POSIX those discover_ports lists. On Windows the COM
// ports, and with QDM7_PORT_GLOB only those whose name matches one of its
// patterns (separated by ';' or ':'), which are matched in either case
// against both "COM3" and "\\.\COM3" (port_name_matches): the others are
// not even opened.
std::vector<std::string> port_paths(bool usable_only);

// The path to open for a port as a person names it. On Windows the names
// Device Manager shows ("COM3", "com12", also "\\.\COM3") become the
// device path discovery lists ("\\.\com3"), which alone reaches ports
// above COM9; anything else, and every name on POSIX, stays as given.
std::string port_path_of(const std::string& name);

// Whether something is at path now, free or held, as discovery would tell a
// port there: on POSIX anything at the path (a link followed), on Windows a
// COM port that opens or whose device name is defined, or a file.
bool port_present(const char* path);

// How a port could not be had or used: the one error convention of this
// header. A function that can fail returns INVALID_PORT_HANDLE or false and
// says why in a PortFailure; none of them traces or ends the program: the
// caller decides (the dialog's fatal error, qdm7-flash's message).
enum class PortFailureKind : std::uint8_t {
    None,
    Mistake,      // the caller's: no path
    System,       // the system refused, with its error code and text
    NotSupported, // something else is at that path (not a serial port); left untouched
};

struct PortFailure {
    PortFailureKind kind = PortFailureKind::None;
    bool absent = false;    // System: nothing is at that path (now)
    bool busy = false;      // System: another program holds it
    bool denied = false;    // System: this user may not open it
    unsigned long code = 0; // System: errno, or Windows' last error
    char text[256] = "";    // in words: the system's text, "not a serial port", ...
    bool not_serial() const { return kind == PortFailureKind::NotSupported; }
};

// What the programs say when a port cannot be opened.
inline constexpr const char* PORT_OPEN_FAILED_TEXT = "Unable to open serial port. In use already, or not present";

// Opens the port at path for this program alone and returns its handle.
// With serial_only, anything else at that path (a file, a directory,
// /dev/null, the console; on Windows whatever GetCommState refuses) is left
// as it was, nothing written to it or changed: NotSupported. Without it
// (the dialog, which opens what discovery listed), whatever opens is taken.
PortHandle open_port(const char* path, PortFailure& failure, bool serial_only = true);

// Sets the line (baud, 8 data bits, even parity, 1 stop bit, no flow
// control, DTR and RTS off) and the read time-outs. False when the port's
// state cannot be read (its text "Could not get Port State").
bool configure_port(PortHandle handle, std::uint32_t baud, std::uint32_t interval_ms, PortFailure& failure);

// Whether the bytes a read has taken so far are one whole reply: the
// caller's test (a frame's CRC), so that the port knows nothing of frames.
using ReplyComplete = bool (*)(const std::uint8_t* bytes, std::int32_t count);
// The quiet that confirms a complete reply: more than a USB frame (1 ms), so
// that a reply an adapter hands over in two pieces is read whole whenever
// its first piece does not pass the test on its own.
inline constexpr std::uint32_t REPLY_QUIET_MS = 2;

// From now until the port is closed, a read of it also ends as soon as the
// bytes read so far pass complete and the line has then been quiet for
// quiet_ms; otherwise it ends as configure_port's time-outs say. A null
// complete leaves those alone. Set after configure_port.
void set_reply_rule(PortHandle handle, ReplyComplete complete, std::uint32_t quiet_ms);

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
