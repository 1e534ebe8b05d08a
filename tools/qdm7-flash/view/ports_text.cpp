#include "tools/qdm7-flash/view/ports_text.h"

#include <algorithm>

#include "engine/frames.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/view/fit_text.h"

namespace {

constexpr std::size_t STATE_WIDTH = 11; // "programming"
constexpr std::size_t MIN_PORT_WIDTH = 8;
constexpr const char* GAP = "  ";

const char* state_word(const PortView& view)
{
    switch (view.phase) {
    case PortPhase::Opening: return "opening";
    case PortPhase::Contacting:
    case PortPhase::PowerWait: return "contacting";
    case PortPhase::Programming: return "programming";
    case PortPhase::Verifying: return "verifying";
    case PortPhase::Resetting: return "resetting";
    case PortPhase::Reconnecting: return "port lost";
    case PortPhase::Done: return device_result_name(view.result);
    case PortPhase::NotTaken: return "not taken";
    case PortPhase::Cut: return "cut short";
    }
    return "";
}

std::string seconds_text(std::uint32_t ms) { return printed("%.1f s", ms / 1000.0); }

// A reason's brief form: up to its first ": " or " (" ("CRC mismatch",
// "/dev/pts/3 is in use by python3"); empty when it has none.
std::string brief_of(const std::string& reason)
{
    const std::size_t end = std::min(reason.find(": "), reason.find(" ("));
    return end == std::string::npos || end == 0 ? std::string() : reason.substr(0, end);
}

// The fields of a line: the port's name (elastic: the end of a path is what
// tells ports apart, so a narrow one keeps that) and the state, padded to
// line up with the states above and below it, then those of its phase;
// with the turns they have for the room, the first first.
enum : std::size_t { NAME, STATE };

struct Row {
    std::vector<LineField> fields = std::vector<LineField>(2);
    std::vector<FitTurn> turns;
    std::size_t add(std::string whole, std::string brief = {})
    {
        fields.push_back(text_field(std::move(whole), std::move(brief)));
        return fields.size() - 1;
    }
};

Row row_of(const PortView& view)
{
    Row row;
    std::vector<FitTurn> last; // after the port's name and the padding
    switch (view.phase) {
    case PortPhase::Programming: {
        const std::int32_t total = std::max(view.blocks_total, 1);
        const std::int32_t current = std::min(view.blocks_done + 1, total);
        const std::size_t block =
            row.add(printed("block %ld of %ld", static_cast<long>(current), static_cast<long>(total)),
                    printed("%ld/%ld", static_cast<long>(current), static_cast<long>(total)));
        std::string rate = "--.- KiB/s";
        std::string left = "--:-- left";
        const std::int32_t from = std::clamp(view.blocks_from, 0, view.blocks_done);
        const Pace pace = pace_of(static_cast<std::int64_t>(view.blocks_done - from) * BLOCK_SIZE,
                                  static_cast<std::int64_t>(total - from) * BLOCK_SIZE, view.programming_ms);
        if (pace.known) {
            rate = printed("%.1f KiB/s", pace.kib_per_s);
            left = printed("%ld:%02ld left", pace.left_s / 60, pace.left_s % 60);
        }
        const std::size_t rate_part = row.add(rate);
        const std::size_t left_part = row.add(left);
        row.turns = {{block, FieldForm::Brief}};
        last = {{block}, {left_part}, {rate_part}};
        if (view.timeouts > 0)
            last.push_back({row.add(printed("(%u resend%s)", static_cast<unsigned>(view.timeouts),
                                            view.timeouts == 1 ? "" : "s"))});
        break;
    }
    case PortPhase::PowerWait: {
        const unsigned waited = view.waiting_ms / 1000;
        const std::size_t wait = row.add(view.stray_bytes > 0
                                             ? printed("no reply for %u s, %s came", waited,
                                                       counted(view.stray_bytes, "byte").c_str())
                                             : printed("no answer for %u s", waited));
        const std::size_t advice = row.add(
            view.stray_bytes > 0 ? "power-cycle it into its loader" : "power-cycle the device", "power-cycle it");
        row.turns = {{advice, FieldForm::Brief}};
        last = {{advice}, {wait}};
        break;
    }
    case PortPhase::Reconnecting: {
        const auto waited = static_cast<unsigned>(view.waiting_ms / 1000);
        const std::size_t wait =
            row.add(printed("waiting %u s for it to return", waited), printed("waiting %u s", waited));
        const std::size_t next = row.add(view.next_step, view.next_step_brief);
        row.turns = {{next, FieldForm::Brief}};
        last = {{wait, FieldForm::Brief}, {next}, {wait}};
        break;
    }
    case PortPhase::Done: {
        const std::size_t seconds = row.add(seconds_text(view.elapsed_ms));
        const std::size_t at = row.add(view.ended_at.empty() ? "" : "at " + view.ended_at);
        const std::size_t taken = row.add(view.taken_away ? "taken away" : "");
        const std::size_t detail = row.add(view.detail, brief_of(view.detail));
        const std::size_t next =
            row.add(view.taken_away ? "" : view.next_step, view.taken_away ? "" : view.next_step_brief);
        row.turns = {{taken}, {detail, FieldForm::Brief}, {next, FieldForm::Brief}};
        last = {{at}, {detail}, {next}, {seconds}};
        break;
    }
    case PortPhase::NotTaken: {
        const std::size_t detail = row.add(view.detail);
        const std::size_t taken = row.add(view.taken_away ? "taken away" : "");
        row.turns = {{detail}, {taken}};
        break;
    }
    case PortPhase::Cut: {
        const std::size_t where = row.add(view.detail);
        const std::size_t next = row.add(view.next_step, view.next_step_brief);
        row.turns = {{next, FieldForm::Brief}};
        last = {{where}, {next}};
        break;
    }
    default:
        break;
    }
    row.turns.push_back({NAME});
    row.turns.push_back({STATE});
    row.turns.insert(row.turns.end(), last.begin(), last.end());
    return row;
}

// The port in width columns, its start cut away when it is longer.
std::string port_field(const std::string& port, std::size_t width)
{
    if (port.size() <= width)
        return port + std::string(width - port.size(), ' ');
    if (width <= 3)
        return port.substr(port.size() - width);
    return "..." + port.substr(port.size() - (width - 3));
}

} // namespace

std::string format_port_line(const std::string& port, int port_width, const PortView& view, int columns)
{
    Row row = row_of(view);
    const auto widest = static_cast<std::size_t>(
        std::max(port_width, static_cast<int>(std::min<std::size_t>(port.size(), MIN_PORT_WIDTH))));
    LineField& name = row.fields[NAME];
    name.elastic = [&port](std::size_t width) { return port_field(port, width); };
    name.least = std::min(widest, MIN_PORT_WIDTH);
    name.widest = widest;
    name.form = FieldForm::Brief;
    row.fields[STATE] = text_field(state_word(view), "", FieldForm::Brief, STATE_WIDTH);
    const std::size_t room = columns > 0 ? static_cast<std::size_t>(columns - 1) : std::string::npos;
    return fit_fields(std::move(row.fields), row.turns, room, GAP, FitOrder::EachItsTurn);
}

std::string port_change_text(const PortView& view)
{
    const std::string next = view.next_step.empty() ? "" : "; " + view.next_step;
    switch (view.phase) {
    case PortPhase::Opening: return "opening";
    case PortPhase::Contacting: return "contacting";
    case PortPhase::PowerWait: return "waiting for the device to power on: switch it off and on now";
    case PortPhase::Programming:
        if (view.blocks_from > 0)
            return printed("programming %ld of %s, from block %ld",
                           static_cast<long>(view.blocks_total - view.blocks_from),
                           counted(view.blocks_total, "block").c_str(), static_cast<long>(view.blocks_from) + 1);
        return "programming " + counted(view.blocks_total, "block");
    case PortPhase::Verifying: return "verifying";
    case PortPhase::Resetting: return "resetting";
    case PortPhase::Reconnecting: return "port lost; waiting for it to return" + next;
    case PortPhase::NotTaken: return "not taken: " + view.detail;
    case PortPhase::Cut: return "cut short " + view.detail + next;
    case PortPhase::Done: break;
    }
    std::string text = device_result_name(view.result);
    text += (view.result == DeviceResult::Completed ? " in " : " after ") + seconds_text(view.elapsed_ms);
    if (!view.detail.empty())
        text += ": " + view.detail;
    return text + next;
}

std::vector<std::string> compose_port_lines(const std::vector<std::string>& ports,
                                            const std::vector<PortView>& views, int columns, int rows)
{
    int port_width = 0;
    for (const std::string& port : ports)
        port_width = std::max(port_width, static_cast<int>(port.size()));
    // The cursor's own line stays free below the block.
    const int fit = std::max(rows - 1, 1);
    const int count = static_cast<int>(ports.size());
    const int shown = count <= fit ? count : std::max(fit - 1, 0);
    std::vector<std::string> lines;
    for (int i = 0; i < shown; ++i)
        lines.push_back(format_port_line(ports[static_cast<std::size_t>(i)], port_width,
                                         views[static_cast<std::size_t>(i)], columns));
    if (shown < count) {
        int updating = 0, completed = 0, failed = 0, not_taken = 0, cut = 0;
        for (int i = shown; i < count; ++i) {
            const PortView& view = views[static_cast<std::size_t>(i)];
            switch (view.phase) {
            case PortPhase::Done: ++(view.result == DeviceResult::Completed ? completed : failed); break;
            case PortPhase::NotTaken: ++not_taken; break;
            case PortPhase::Cut: ++cut; break;
            default: ++updating; break;
            }
        }
        // Each count that is not 0, in order, as many as fit.
        const std::size_t room = columns > 0 ? static_cast<std::size_t>(columns - 1) : std::string::npos;
        std::string rest = printed("and %d more", count - shown);
        const char* mark = ": ";
        for (const auto& [n, what] : {std::pair{updating, "updating"}, std::pair{completed, "completed"},
                                      std::pair{failed, "failed"}, std::pair{not_taken, "not taken"},
                                      std::pair{cut, "cut short"}}) {
            const std::string more = printed("%s%d %s", mark, n, what);
            if (n == 0)
                continue;
            if (rest.size() + more.size() > room)
                break;
            rest += more;
            mark = ", ";
        }
        lines.push_back(fit_clauses(rest, room));
    }
    return lines;
}

std::string format_summary(const std::vector<std::string>& ports, const std::vector<PortView>& views, int columns)
{
    int width = 4; // "port"
    for (const std::string& port : ports)
        width = std::max(width, static_cast<int>(port.size()));
    std::string table = printed("%-*s  %-9s  %s\n", width, "port", "result", "seconds");
    const std::size_t room = columns > 0 ? static_cast<std::size_t>(std::max(columns - 1, 0)) : std::string::npos;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const PortView& view = views[i];
        const char* result = view.phase == PortPhase::Done ? device_result_name(view.result) : "unfinished";
        table += printed("%-*s  %-9s  %7.1f\n", width, ports[i].c_str(), result, view.elapsed_ms / 1000.0);
        if (view.phase == PortPhase::Done && view.result != DeviceResult::Completed && !view.detail.empty()) {
            for (const std::string& line : wrap_words("  " + view.detail, room, "  "))
                table += line + "\n";
        }
    }
    return table;
}
