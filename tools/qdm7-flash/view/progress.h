// The progress line that stands in for the "programming" status lines while
// standard error is a terminal.
#pragma once

#include <cstddef>
#include <cstdint>

// The widest line drawn, in a terminal of 80 columns or more.
inline constexpr std::size_t PROGRESS_LINE_WIDTH = 79;

struct Progress {
    std::int64_t done_bytes = 0;  // acknowledged so far
    std::int64_t total_bytes = 0;
    std::int32_t block_size = 0;
    std::uint32_t elapsed_ms = 0; // programming time so far
    std::uint32_t resends = 0;    // requests resent after a time-out; shown once there is one
    std::int32_t resend_in_s = -1; // 0 or more: the reply is overdue and the request goes again in this many seconds
    // On the device before this attempt's programming began (a resume): in
    // the count and the bar, not in the rate and the time left.
    std::int64_t kept_bytes = 0;
};

// One line fitted to a terminal `columns` wide, such as
// "[#####-----]  12/97 blocks  12%   81.3 KiB/s  0:17 left (1 resend)", or
// while a reply is overdue "... 12%  no reply, resending in 7 s (1 resend)".
// It never reaches the last column (nor passes PROGRESS_LINE_WIDTH), so it
// cannot wrap; when narrow, whole fields go in this order (fit_fields): the
// rate, the bar, the time left, the resend count, the word "blocks", the
// long form of the wait; narrower still, words go from its end.
// Padded with blanks to the width drawn, so that a redraw after a carriage
// return covers the previous one. Rate and time left show as dashes until
// there is a rate, which counts only the bytes this attempt wrote.
void format_progress(char* text, std::size_t size, const Progress& progress, int columns);
