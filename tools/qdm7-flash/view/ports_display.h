// What qdm7-flash draws on standard error while it updates several ports at
// once, from the texts of ports_text.h. On a terminal: one live line per
// port, redrawn in place at most ten times a second and fitted to the
// terminal, with messages above them. Otherwise: a line per port each time
// its state changes, each starting with the port (and a station's with the
// time).
//
// Each port's thread reports its view; the main thread draws. Every call is
// safe from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "tools/qdm7-flash/view/ports_text.h"

inline constexpr std::uint32_t PORTS_REDRAW_MS = 100;

struct PortsDisplay {
    std::mutex lock;
    std::FILE* out = stderr;
    bool terminal = false;
    // The terminal's size, asked at each draw (unset: 80 by 24), and the
    // clock that spaces the draws (unset: tick_count).
    int (*columns)() = nullptr;
    int (*rows)() = nullptr;
    std::uint32_t (*now)() = nullptr;
    std::vector<std::string> ports;
    std::vector<PortView> views;
    std::vector<bool> hidden; // lines left out of the live block (no port after all)
    // A station's: off a terminal each line begins with the local time; on
    // one the live block begins with this head line (empty: none).
    bool timed = false;
    std::string head;
    int drawn = 0;              // lines of the live block on the screen
    std::uint32_t drawn_at = 0;
    bool ever_drawn = false;
};

// Starts showing these ports on out; terminal: out is one. The size and
// clock fields are left as they are.
void ports_display_start(PortsDisplay& shown, const std::vector<std::string>& ports, bool terminal,
                         std::FILE* out);
// From a port's thread, after each step: its view now. Off a terminal a
// change of phase is said at once.
void ports_display_update(PortsDisplay& shown, std::size_t index, const PortView& view);
// A port more (a station's, as it comes), shown below the others as
// Opening; its index.
std::size_t ports_display_add(PortsDisplay& shown, const std::string& port);
// The name its line and messages start with, for the unit on it now.
void ports_display_rename(PortsDisplay& shown, std::size_t index, const std::string& port);
// Leaves the line out of the live block from the next draw on (a station's
// path that proved to be no port), or with hidden false puts it back.
void ports_display_hide(PortsDisplay& shown, std::size_t index, bool hidden = true);
// The head line, drawn with the next draw; on a narrow terminal its last
// "; " clauses are left out, then its last words, never cut in a word.
void ports_display_head(PortsDisplay& shown, const std::string& head);
// A message about one port: "PORT: text", above the live block on a
// terminal, broken at blanks to fit it.
void ports_display_say(PortsDisplay& shown, std::size_t index, const char* text);
// A message about none in particular: "qdm7-flash: text".
void ports_display_note(PortsDisplay& shown, const char* text);
// From the main thread, as often as it likes: redraws the live block when
// PORTS_REDRAW_MS have passed since the last time.
void ports_display_draw(PortsDisplay& shown);
// On a terminal, the last draw, with every port's final state.
void ports_display_end(PortsDisplay& shown);
