#include "tools/qdm7-flash/view/watch_view.h"

#include "tools/qdm7-flash/console/printed.h"

namespace {

std::string rate_text(const WatchTotals& totals)
{
    if (totals.completed == 0 || totals.elapsed_ms == 0)
        return "--/h";
    return printed("%.0f/h", totals.completed * 3600000.0 / totals.elapsed_ms);
}

std::string units_text(std::uint32_t units) { return printed("%u unit%s", units, units == 1 ? "" : "s"); }

} // namespace

std::string watch_head_text(const WatchTotals& totals)
{
    std::string text = printed("%u completed, %u failed, %s", totals.completed, totals.failed,
                               rate_text(totals).c_str());
    if (totals.count != 0) {
        text += "; ";
        text += printed("%u of %s", totals.completed + totals.failed, units_text(totals.count).c_str());
    }
    if (totals.updating != 0) {
        text += "; ";
        text += printed("%u updating", totals.updating);
    }
    const bool more = totals.count == 0 || totals.completed + totals.failed + totals.updating < totals.count;
    if (more) {
        text += "; waiting for units on ";
        text += totals.watched;
    }
    return text;
}

std::string watch_summary_text(const WatchTotals& totals)
{
    const std::uint32_t seconds = totals.elapsed_ms / 1000;
    std::string text = units_text(totals.completed + totals.failed);
    text += printed(": %u completed, %u failed, in ", totals.completed, totals.failed);
    text += seconds >= 60 ? printed("%u min %u s", seconds / 60, seconds % 60) : printed("%u s", seconds);
    text += " (";
    text += rate_text(totals);
    text += ')';
    return text;
}

std::string clock_text(std::time_t moment)
{
    char text[16] = "--:--:--";
    // localtime's buffer is shared: the caller is the display's lock holder
    // or the main thread, one at a time.
    if (const std::tm* local = std::localtime(&moment))
        std::strftime(text, sizeof text, "%H:%M:%S", local);
    return text;
}
