// The progress bar that stands in for the "programming" status lines while
// standard error is a terminal.
#pragma once

#include <cstddef>
#include <cstdint>

// Width of the drawn line; shorter texts are padded with blanks so that a
// redraw after a carriage return covers the previous one.
inline constexpr std::size_t PROGRESS_LINE_WIDTH = 78;

// One line: "[#####-----]  12/97 blocks  12%   81.3 KiB/s  0:17 left".
// done_bytes of total_bytes are acknowledged after elapsed_ms of
// programming; rate and time left show as dashes until there is a rate.
void format_progress(char* text, std::size_t size, std::int64_t done_bytes,
                     std::int64_t total_bytes, std::int32_t block_size, std::uint32_t elapsed_ms);
