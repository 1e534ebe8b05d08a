// What a watching station (--watch) shows beyond its line per port: the
// head line with its totals, and the clock its lines and messages name.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

struct WatchTotals {
    std::uint32_t completed = 0;
    std::uint32_t failed = 0;      // every unit that ended otherwise
    std::uint32_t updating = 0;
    std::uint32_t count = 0;       // --count; 0: none
    std::uint32_t elapsed_ms = 0;  // since the watch began
    std::string watched;           // what it waits for: "usb:0403:6001", "/tmp/ports/*"
};

// "12 completed, 1 failed, 96/h; 2 updating; waiting for units on
// usb:0403:6001", the rate counting completed units since the start
// ("--/h" before the first), "12+1 of 20 units" with a count.
std::string watch_head_text(const WatchTotals& totals);

// The end: "20 units: 19 completed, 1 failed, in 5 min 12 s (230/h)".
std::string watch_summary_text(const WatchTotals& totals);

// "10:14:03", the local time of moment.
std::string clock_text(std::time_t moment);
