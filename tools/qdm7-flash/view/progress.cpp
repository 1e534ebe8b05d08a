#include "tools/qdm7-flash/view/progress.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/qdm7-flash/view/job_view.h"

namespace {

constexpr int BAR_MAX = 24; // inner width of the bar
constexpr int BAR_MIN = 8;

struct Field {
    char text[48] = "";
    bool shown = false;
    int width() const { return shown ? static_cast<int>(std::strlen(text)) + 1 : 0; } // with its blank
};

} // namespace

void format_progress(char* text, std::size_t size, const Progress& progress, int columns)
{
    if (size == 0)
        return;
    const std::int64_t total = progress.total_bytes > 0 ? progress.total_bytes : 1;
    const std::int64_t done = std::clamp<std::int64_t>(progress.done_bytes, 0, total);
    const std::int64_t block = progress.block_size > 0 ? progress.block_size : 1;
    const auto blocks_total = static_cast<long long>((total + block - 1) / block);
    const auto blocks_done = static_cast<long long>(done / block);
    const int percent = static_cast<int>(done * 100 / total);
    const bool waiting = progress.resend_in_s >= 0;

    // In the order shown.
    Field counts, short_counts, percent_field, rate, left, wait, short_wait, resends;
    std::snprintf(counts.text, sizeof counts.text, "%3lld/%lld blocks", blocks_done, blocks_total);
    std::snprintf(short_counts.text, sizeof short_counts.text, "%lld/%lld", blocks_done, blocks_total);
    std::snprintf(percent_field.text, sizeof percent_field.text, "%3d%%", percent);
    std::snprintf(rate.text, sizeof rate.text, "  --.- KiB/s");
    std::snprintf(left.text, sizeof left.text, "--:-- left");
    const std::int64_t kept = std::clamp<std::int64_t>(progress.kept_bytes, 0, done);
    const Pace pace = pace_of(done - kept, total - kept, progress.elapsed_ms);
    if (pace.known) {
        std::snprintf(rate.text, sizeof rate.text, "%6.1f KiB/s", pace.kib_per_s);
        std::snprintf(left.text, sizeof left.text, "%ld:%02ld left", pace.left_s / 60, pace.left_s % 60);
    }
    std::snprintf(wait.text, sizeof wait.text, " no reply, resending in %d s", progress.resend_in_s);
    std::snprintf(short_wait.text, sizeof short_wait.text, "resend in %d s", progress.resend_in_s);
    std::snprintf(resends.text, sizeof resends.text, "(%u resend%s)", progress.resends,
                  progress.resends == 1 ? "" : "s");
    counts.shown = percent_field.shown = true;
    rate.shown = left.shown = !waiting;
    wait.shown = waiting;
    resends.shown = progress.resends > 0;
    bool bar = true;

    // Never the last column: writing there leaves some terminals about to wrap.
    const int room = std::min(columns - 1, static_cast<int>(PROGRESS_LINE_WIDTH));
    auto needed = [&] {
        return counts.width() + short_counts.width() + percent_field.width() + rate.width() +
               left.width() + wait.width() + short_wait.width() + resends.width() +
               (bar ? BAR_MIN + 3 : 0) - 1;
    };
    const auto narrower = [&] {
        if (rate.shown) return rate.shown = false, true;
        if (bar) return bar = false, true;
        if (left.shown) return left.shown = false, true;
        if (resends.shown) return resends.shown = false, true;
        if (counts.shown) return counts.shown = false, short_counts.shown = true;
        if (wait.shown) return wait.shown = false, short_wait.shown = true;
        return false;
    };
    while (needed() > room && narrower()) {
    }

    std::size_t length = 0;
    auto append = [&](const char* piece) {
        const std::size_t n = std::min(std::strlen(piece), size - 1 - length);
        std::memcpy(text + length, piece, n);
        length += n;
    };
    if (bar) {
        const int inner = std::min(BAR_MAX, BAR_MIN + room - needed());
        const int filled = static_cast<int>(done * inner / total);
        char drawn[BAR_MAX + 3];
        drawn[0] = '[';
        for (int i = 0; i < inner; ++i)
            drawn[1 + i] = i < filled ? '#' : '-';
        drawn[inner + 1] = ']';
        drawn[inner + 2] = '\0';
        append(drawn);
    }
    for (const Field* field :
         {&counts, &short_counts, &percent_field, &rate, &left, &wait, &short_wait, &resends}) {
        if (!field->shown)
            continue;
        if (length > 0)
            append(" ");
        append(field->text);
    }
    // Cut to the room left, then pad to it.
    const auto width = static_cast<std::size_t>(std::max(room, 0));
    length = std::min(length, width);
    while (length < width && length + 1 < size)
        text[length++] = ' ';
    text[length] = '\0';
}
