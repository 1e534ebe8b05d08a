// A watching station's bookkeeping, apart from its threads, its ports and
// its screen: which port holds which unit, which units to start, what the
// lines say, a device found again on another port after a loss, --count,
// and paths that are no serial port. It is given what each look at the
// ports found and how each unit ended, and returns what the watch is to do
// (watch.cpp does it): plain code, tested by tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/port_identity.h"
#include "tools/qdm7-flash/records/device_record.h"
#include "tools/qdm7-flash/view/ports_display.h"
#include "tools/qdm7-flash/view/watch_view.h"

// Looks in a row that must find a new port before its unit is taken: a
// port that has just come may not be ready (its rights set, its driver
// done), and one on its way out is not taken for one that came.
inline constexpr int LOOKS_BEFORE_TAKING = 2;

enum class PlaceState : std::uint8_t {
    Empty, // no unit, or none seen long enough
    Busy,  // a unit is being updated
    Ended, // its unit ended (or it is no port): left alone until it goes
};

// A port the watch has seen; its line in the display has the same index.
struct Place {
    std::string path;
    PlaceState state = PlaceState::Empty;
    PortIdentity identity;  // of its unit now, or its last one
    int looks = 0;          // looks in a row that found it
    bool plainly_no_port = false; // at the last look that found it
    PortView last;          // its line while no unit is updated: its last unit's end, or one not taken
    bool not_taken = false; // a unit there now was not taken: the count was reached, or units are refused
    bool no_port = false;   // a file or a folder, or a device that is no serial port: never a unit
};

struct WatchBook {
    std::uint32_t count = 0;  // --count; 0: none
    bool terminal = false;    // the lines are drawn in place: a failure's reason said apart
    std::vector<Place> places;
    std::uint32_t started = 0; // units begun, not counting a port that was no unit
    std::uint32_t completed = 0;
    std::uint32_t failed = 0;  // every unit that ended otherwise
    std::vector<CutUnit> cut;  // units in the middle of their update at Ctrl-C
    bool records_lost = false;
    bool image_failed = false; // a unit's image could not be loaded: the watch ends
    std::string report_path;   // --report, for what a lost record says
    // Why no more units are taken (a unit's trace that cannot be written, a
    // record that could not be); empty: every unit that comes is.
    std::string refusal;
};

// One thing for the watch to do, in order.
struct WatchStep {
    enum class What : std::uint8_t {
        Add,    // a line for a new place (text: its name), out of view
        Rename, // its name for the unit on it now (text)
        Hide,   // out of the live block
        Show,   // back in it
        Update, // its line shows view now
        Say,    // a message about it (text)
        Start,  // a unit to update there: its worker started (and its trace opened)
    };
    What what;
    std::size_t place;
    std::string text;
    PortView view;
};
using WatchSteps = std::vector<WatchStep>;

// What a look found at one port.
struct SeenPort {
    PortIdentity identity;
    bool plainly_no_port = false; // a regular file or a folder
};

// A look at the watched ports, those there now: units that came started
// (or not taken), ports gone noted.
WatchSteps book_look(WatchBook& book, const std::vector<SeenPort>& ports);

// How a unit's update ended.
struct UnitEnd {
    bool recorded = false;       // a record was made (not for Ctrl-C, nor for a port that was no unit)
    DeviceResult result = DeviceResult::Error;
    bool interrupted = false;    // Ctrl-C cut it short
    bool not_serial = false;     // its port proved to be no serial port
    bool absent = false;         // its port was gone again before it was opened
    std::string ended_on;        // the port it ended on: a reconnect may find it elsewhere
    std::string usb_serial;      // its device's, as its run found it
    PortView view;               // its line: its end, or where Ctrl-C cut it
    std::string record_error;    // its record could not be written: the system's text; empty: it was
    bool image_failed = false;
    std::string ended_at;        // the local time, "10:14:03"
};
WatchSteps book_unit_ended(WatchBook& book, std::size_t place, const UnitEnd& end);

// A unit that could not be started (why: its trace cannot be written): it
// is not updated, and no unit is taken from now on.
WatchSteps book_refuse(WatchBook& book, std::size_t place, const std::string& why);

// Units that have ended, counted.
std::uint32_t book_units_ended(const WatchBook& book);
// True once the watch has nothing more to do: the count reached, an image
// that cannot be loaded, or units refused and none left being updated.
bool book_finished(const WatchBook& book);
// The count reached: every unit there that was not taken says so, also one
// seen at the last look alone.
WatchSteps book_close(WatchBook& book);
