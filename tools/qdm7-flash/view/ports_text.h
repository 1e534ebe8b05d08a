// The texts of qdm7-flash's line per port, made apart from any terminal:
// each port's live line fitted to a width, its change of state off a
// terminal, the block of lines for a terminal's size, and the summary table.
// Drawn by ports_display.h.
#pragma once

#include <cstdint>
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
// word; each has its turn for the room (fit_fields) in the order of what
// matters most: the brief form of the block count, of the reason and of the next step,
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
