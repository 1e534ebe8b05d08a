#include "tools/qdm7-flash/view/watch_view.h"

#include "tools/qdm7-flash/console/printed.h"

namespace {

// A rate from one unit, or from the first seconds, says more of how the
// units came than of the station.
bool rate_known(const WatchTotals& totals)
{
    return totals.completed != 0 && totals.elapsed_ms != 0 &&
           (totals.completed >= RATE_AFTER_UNITS || totals.elapsed_ms >= RATE_AFTER_MS);
}

std::string rate_text(const WatchTotals& totals)
{
    if (!rate_known(totals))
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
    if (rate_known(totals))
        text += " (" + rate_text(totals) + ")";
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

std::string cut_where(const PortView& view)
{
    switch (view.phase) {
    case PortPhase::Opening:
    case PortPhase::Contacting:
    case PortPhase::PowerWait: return "while contacting";
    case PortPhase::Programming:
        return printed("at block %ld of %ld", static_cast<long>(view.blocks_done) + 1,
                       static_cast<long>(view.blocks_total));
    case PortPhase::Verifying: return "while verifying";
    case PortPhase::Resetting: return "while resetting";
    case PortPhase::Reconnecting: return "while its port was lost";
    case PortPhase::Done:
    case PortPhase::NotTaken:
    case PortPhase::Cut: break;
    }
    return "";
}

std::vector<std::string> cut_units_text(const std::vector<CutUnit>& units)
{
    std::vector<std::string> lines;
    if (units.empty())
        return lines;
    const bool one = units.size() == 1;
    lines.push_back(printed("%s not finished, left unrecorded; update %s again:",
                            units_text(static_cast<std::uint32_t>(units.size())).c_str(), one ? "it" : "them"));
    for (const CutUnit& unit : units) {
        std::string line = "    " + unit.port;
        if (!unit.serial.empty())
            line += " (USB serial number " + unit.serial + ")";
        if (!unit.where.empty())
            line += ", cut " + unit.where;
        lines.push_back(line);
    }
    return lines;
}
