// How a station's run ends: the closing lines after its live display, and
// the outcome they go with. Plain functions of what the run's units did,
// the same for several ports at once and for a watch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/qdm7-flash/console/outcome.h"

// "qdm7-flash: " and text, as whole lines: on a terminal columns wide
// broken as the one-line display breaks its messages (message_lines);
// columns 0: one line.
std::string said_text(const std::string& text, int columns);
// text as whole lines: on a terminal columns wide broken at blanks, the
// lines it is broken onto indented two more than its own indent (as a
// station's closing lines are); columns 0: one line.
std::string closing_text(const std::string& text, int columns);

// What the units of a run came to.
struct RunEnds {
    bool watch = false;         // a watch's units, not ports given at once
    std::string summary;        // the table of ports, or the watch's totals: whole lines, fitted already
    bool all_completed = true;  // every unit completed
    bool records_lost = false;  // some record could not be written to report_path
    std::string report_path;
    std::string image_fatal;    // the image could not be loaded: its fatal text; empty: it was
    unsigned long image_number = 0;
    std::string refusal;        // why the watch took no more units; empty: it took all it saw
    bool interrupted = false;   // Ctrl-C
    std::vector<std::string> cut; // the units Ctrl-C cut short, named (cut_units_text); the watch's
    int columns = 0;            // the terminal's width; 0: none
};

// The closing lines, in order: the summary; that records were lost; why
// no more units were taken; then the one thing that decides the status, the
// first of: the image's fatal text (EXIT_FATAL), the units cut short and
// "interrupted; every port closed" (EXIT_INTERRUPTED), a refusal
// (EXIT_FATAL), "not every device (unit) was updated" (EXIT_NOT_ALL_UPDATED),
// records lost (EXIT_FATAL); otherwise EXIT_COMPLETED.
Outcome run_outcome(const RunEnds& ends);
