// What qdm7-flash shows on standard error while it updates several ports at
// once. On a terminal: one live line per port (port, state, block n of
// total, KiB/s, time left, then the result), redrawn in place at most ten
// times a second and fitted to the terminal. Otherwise: a line per port
// each time its state changes, and a final line per port, each starting
// with the port. At the end, a summary table: port, result, seconds.
//
// Each port's thread reports its view; the main thread draws. Every call is
// safe from any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "tools/qdm7-flash/records/device_record.h"
#include "tools/qdm7-flash/view/job_view.h"

// One port as its thread sees it.
struct PortView {
    PortPhase phase = PortPhase::Opening;
    std::int32_t blocks_done = 0;  // acknowledged
    std::int32_t blocks_total = 0;
    std::int32_t blocks_from = 0;  // the block this attempt's programming began at: those before were kept
    std::uint32_t programming_ms = 0; // since the first block of this attempt went out
    std::uint32_t waiting_since = 0;  // PowerWait, Reconnecting: since when (tick count)
    std::uint32_t waiting_ms = 0;     // and for how long: filled in at each draw
    std::uint32_t timeouts = 0;       // requests resent after a time-out
    std::uint32_t stray_bytes = 0;    // PowerWait: bytes that came but formed no reply
    // Once Done:
    DeviceResult result = DeviceResult::Error;
    std::uint32_t elapsed_ms = 0;
    // Done: why it did not complete, or what a completion did not do
    // ("nothing written ..."); NotTaken, Cut: why, or where it was cut. Its
    // brief form, when narrow, ends before its first ": " or " (".
    std::string detail;
    // A station's: what the operator does next (empty: nothing), in full
    // and in brief; and once Done, when it ended and whether its port has
    // gone since.
    std::string next_step;
    std::string next_step_brief;
    std::string ended_at;
    bool taken_away = false;
};

// The live line of one port: the port padded to port_width, its state, then
// what fits of the rest within columns - 1 (so that it never wraps); with
// columns 0, all of it. Fields are shown whole or left out, never cut in a
// word; each has its turn for the room in the order of what matters most:
// the brief form of the block count, of the reason and of the next step,
// then the port at its whole width, then the rest (the time left before the
// rate, the rate before the resend count; when the unit ended before the
// reason in full, the next step in full and the seconds).
std::string format_port_line(const std::string& port, int port_width, const PortView& view, int columns);

// The text of a port's state change off a terminal, without the port.
std::string port_change_text(const PortView& view);

// The lines of the live block for a terminal columns wide and rows high:
// one per port, or, when they do not all fit above the cursor, as many as
// fit less one and a line that counts the rest ("and 3 more: 2 updating,
// 1 failed").
std::vector<std::string> compose_port_lines(const std::vector<std::string>& ports,
                                            const std::vector<PortView>& views, int columns, int rows);

// The summary table: a header, then port, result and seconds of each port,
// and below a port that did not complete its reason, indented, on lines of
// their own broken at blanks to fit columns - 1 (columns 0: one line).
std::string format_summary(const std::vector<std::string>& ports, const std::vector<PortView>& views,
                           int columns = 0);

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
