// What a watching station (--watch) shows beyond its line per port: the
// head line with its totals, and the clock its lines and messages name.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "tools/qdm7-flash/view/ports_text.h"

struct WatchTotals {
    std::uint32_t completed = 0;
    std::uint32_t failed = 0;      // every unit that ended otherwise
    std::uint32_t updating = 0;
    std::uint32_t count = 0;       // --count; 0: none
    std::uint32_t elapsed_ms = 0;  // since the watch began
    std::string watched;           // what it waits for: "usb:0403:6001", "/tmp/ports/*"
};

// The completed units per hour are given once this many have completed, or
// the watch has run this long: before, "--/h".
inline constexpr std::uint32_t RATE_AFTER_UNITS = 3;
inline constexpr std::uint32_t RATE_AFTER_MS = 60000;

// "12 completed, 1 failed, 96/h; 2 updating; waiting for units on
// usb:0403:6001", the rate counting completed units since the start,
// "13 of 20 units" with a count.
std::string watch_head_text(const WatchTotals& totals);

// The end: "20 units: 19 completed, 1 failed, in 5 min 12 s (230/h)", the
// rate left out while it is "--/h".
std::string watch_summary_text(const WatchTotals& totals);

// "10:14:03", the local time of moment.
std::string clock_text(std::time_t moment);

// Where a unit's update was when Ctrl-C cut it short, from its line: "at
// block 78 of 97", "while contacting", "while its port was lost".
std::string cut_where(const PortView& view);

// A unit that Ctrl-C cut short: its port, its USB serial number (empty:
// none known), and where its update was.
struct CutUnit {
    std::string port;
    std::string serial;
    std::string where;
};

// The closing lines that name the units cut short, to be updated again:
// "2 units not finished, left unrecorded; update them again:", then one
// line for each, indented by four. None for none.
std::vector<std::string> cut_units_text(const std::vector<CutUnit>& units);
