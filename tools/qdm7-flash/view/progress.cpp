#include "tools/qdm7-flash/view/progress.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/view/fit_text.h"
#include "tools/qdm7-flash/view/job_view.h"

namespace {

constexpr std::size_t BAR_MAX = 24; // inner width of the bar
constexpr std::size_t BAR_MIN = 8;

// The fields of the line, in the order shown.
enum : std::size_t { BAR, COUNTS, PERCENT, RATE, LEFT, WAIT, RESENDS, FIELDS };

// "[#####-----]", width wide with its brackets.
std::string bar_text(std::int64_t done, std::int64_t total, std::size_t width)
{
    std::string bar(std::max<std::size_t>(width, 2), '-');
    const std::size_t inner = bar.size() - 2;
    const auto filled = static_cast<std::size_t>(done * static_cast<std::int64_t>(inner) / total);
    bar.front() = '[';
    bar.replace(1, filled, filled, '#');
    bar.back() = ']';
    return bar;
}

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
    const bool waiting = progress.resend_in_s >= 0;
    const std::int64_t kept = std::clamp<std::int64_t>(progress.kept_bytes, 0, done);
    const Pace pace = pace_of(done - kept, total - kept, progress.elapsed_ms);

    std::vector<LineField> fields(FIELDS);
    fields[BAR].elastic = [done, total](std::size_t width) { return bar_text(done, total, width); };
    fields[BAR].least = BAR_MIN + 2;
    fields[BAR].widest = BAR_MAX + 2;
    fields[COUNTS] = text_field(printed("%3lld/%lld blocks", blocks_done, blocks_total),
                                printed("%lld/%lld", blocks_done, blocks_total), FieldForm::Brief);
    fields[PERCENT] = text_field(printed("%3d%%", static_cast<int>(done * 100 / total)), "", FieldForm::Whole);
    fields[RATE].whole = pace.known ? printed("%6.1f KiB/s", pace.kib_per_s) : "  --.- KiB/s";
    fields[LEFT].whole = pace.known ? printed("%ld:%02ld left", pace.left_s / 60, pace.left_s % 60) : "--:-- left";
    fields[WAIT] = text_field(printed(" no reply, resending in %d s", progress.resend_in_s),
                              printed("resend in %d s", progress.resend_in_s),
                              waiting ? FieldForm::Brief : FieldForm::Hidden);
    fields[RESENDS].whole = printed("(%u resend%s)", progress.resends, progress.resends == 1 ? "" : "s");

    // The most useful first, each shown only with all those before it; the
    // bar then takes what room is left.
    std::vector<FitTurn> turns;
    if (waiting)
        turns.push_back({WAIT});
    turns.push_back({COUNTS});
    if (progress.resends > 0)
        turns.push_back({RESENDS});
    if (!waiting)
        turns.push_back({LEFT});
    turns.push_back({BAR, FieldForm::Brief});
    if (!waiting)
        turns.push_back({RATE});
    turns.push_back({BAR});

    // Never the last column: writing there leaves some terminals about to wrap.
    const int room = std::min(columns - 1, static_cast<int>(PROGRESS_LINE_WIDTH));
    const auto width = static_cast<std::size_t>(std::max(room, 0));
    std::string line = fit_fields(std::move(fields), turns, width, " ", FitOrder::Nested);
    line.resize(width, ' ');
    const std::size_t length = std::min(line.size(), size - 1);
    std::memcpy(text, line.data(), length);
    text[length] = '\0';
}
