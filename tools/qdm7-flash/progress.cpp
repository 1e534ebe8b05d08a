#include "tools/qdm7-flash/progress.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int BAR_WIDTH = 24;

} // namespace

void format_progress(char* text, std::size_t size, std::int64_t done_bytes,
                     std::int64_t total_bytes, std::int32_t block_size, std::uint32_t elapsed_ms)
{
    if (total_bytes <= 0)
        total_bytes = 1;
    if (done_bytes < 0)
        done_bytes = 0;
    if (done_bytes > total_bytes)
        done_bytes = total_bytes;
    const std::int64_t blocks_total = (total_bytes + block_size - 1) / block_size;
    const std::int64_t blocks_done = done_bytes / block_size;
    const int percent = static_cast<int>(done_bytes * 100 / total_bytes);
    const int filled = static_cast<int>(done_bytes * BAR_WIDTH / total_bytes);

    char bar[BAR_WIDTH + 1];
    for (int i = 0; i < BAR_WIDTH; ++i)
        bar[i] = i < filled ? '#' : '-';
    bar[BAR_WIDTH] = '\0';

    char rate[40] = "  --.- KiB/s";
    char left[48] = "--:-- left";
    if (done_bytes > 0 && elapsed_ms > 0) {
        const double bytes_per_ms = static_cast<double>(done_bytes) / elapsed_ms;
        std::snprintf(rate, sizeof rate, "%6.1f KiB/s", bytes_per_ms * 1000.0 / 1024.0);
        const auto seconds_left = static_cast<long>(
            static_cast<double>(total_bytes - done_bytes) / bytes_per_ms / 1000.0 + 0.5);
        std::snprintf(left, sizeof left, "%ld:%02ld left", seconds_left / 60, seconds_left % 60);
    }
    std::snprintf(text, size, "[%s] %3lld/%lld blocks %3d%% %s %s", bar,
                  static_cast<long long>(blocks_done), static_cast<long long>(blocks_total),
                  percent, rate, left);
    // Pad to the line width so that a shorter redraw leaves nothing behind.
    std::size_t length = std::strlen(text);
    while (length + 1 < size && length < PROGRESS_LINE_WIDTH)
        text[length++] = ' ';
    text[length] = '\0';
}
