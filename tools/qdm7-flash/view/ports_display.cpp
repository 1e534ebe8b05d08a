#include "tools/qdm7-flash/view/ports_display.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "engine/frames.h"
#include "platform/platform.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/view/fit_text.h"
#include "tools/qdm7-flash/view/watch_view.h"

namespace {

constexpr int STATE_WIDTH = 11; // "programming"
constexpr int MIN_PORT_WIDTH = 8;
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

// A field of the line after the state: in full, in brief, and which of
// them is shown.
enum class Form : std::uint8_t { Hidden, Brief, Whole };

struct Part {
    std::string whole;
    std::string brief;
    Form form = Form::Hidden;
    const std::string& text() const { return form == Form::Whole ? whole : brief; }
};

// Not parts: the port at its whole width, and the state padded to line up.
constexpr int PORT = -1;
constexpr int PAD = -2;

// One turn for the room: a part in a form, or PORT or PAD.
struct Step {
    int part;
    Form form = Form::Whole;
};

// A line's parts in the order shown, and the turns they have for the room,
// the first first.
struct Row {
    std::vector<Part> parts;
    std::vector<Step> steps;
    // A part without a brief form has its whole one in the brief's turn.
    int add(std::string whole, std::string brief = {})
    {
        if (brief.empty())
            brief = whole;
        parts.push_back(Part{std::move(whole), std::move(brief)});
        return static_cast<int>(parts.size()) - 1;
    }
};

Row row_of(const PortView& view)
{
    Row row;
    std::vector<Step> last; // after the port and the padding
    switch (view.phase) {
    case PortPhase::Programming: {
        const std::int32_t total = std::max(view.blocks_total, 1);
        const std::int32_t current = std::min(view.blocks_done + 1, total);
        const int block = row.add(printed("block %ld of %ld", static_cast<long>(current), static_cast<long>(total)),
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
        const int rate_part = row.add(rate);
        const int left_part = row.add(left);
        row.steps = {{block, Form::Brief}};
        last = {{block}, {left_part}, {rate_part}};
        if (view.timeouts > 0)
            last.push_back({row.add(printed("(%u resend%s)", static_cast<unsigned>(view.timeouts),
                                            view.timeouts == 1 ? "" : "s"))});
        break;
    }
    case PortPhase::PowerWait: {
        const unsigned waited = view.waiting_ms / 1000;
        const int wait = row.add(view.stray_bytes > 0 ? printed("no reply for %u s, %s came", waited,
                                                                 counted(view.stray_bytes, "byte").c_str())
                                                      : printed("no answer for %u s", waited));
        const int advice = row.add(view.stray_bytes > 0 ? "power-cycle it into its loader" : "power-cycle the device",
                                   "power-cycle it");
        row.steps = {{advice, Form::Brief}};
        last = {{advice}, {wait}};
        break;
    }
    case PortPhase::Reconnecting: {
        const auto waited = static_cast<unsigned>(view.waiting_ms / 1000);
        const int wait = row.add(printed("waiting %u s for it to return", waited), printed("waiting %u s", waited));
        const int next = row.add(view.next_step, view.next_step_brief);
        row.steps = {{next, Form::Brief}};
        last = {{wait, Form::Brief}, {next}, {wait}};
        break;
    }
    case PortPhase::Done: {
        const int seconds = row.add(seconds_text(view.elapsed_ms));
        const int at = row.add(view.ended_at.empty() ? "" : "at " + view.ended_at);
        const int taken = row.add(view.taken_away ? "taken away" : "");
        const int detail = row.add(view.detail, brief_of(view.detail));
        const int next = row.add(view.taken_away ? "" : view.next_step, view.taken_away ? "" : view.next_step_brief);
        row.steps = {{taken}, {detail, Form::Brief}, {next, Form::Brief}};
        last = {{at}, {detail}, {next}, {seconds}};
        break;
    }
    case PortPhase::NotTaken: {
        const int detail = row.add(view.detail);
        const int taken = row.add(view.taken_away ? "taken away" : "");
        row.steps = {{detail}, {taken}};
        break;
    }
    case PortPhase::Cut: {
        const int where = row.add(view.detail);
        const int next = row.add(view.next_step, view.next_step_brief);
        row.steps = {{next, Form::Brief}};
        last = {{where}, {next}};
        break;
    }
    default:
        break;
    }
    row.steps.push_back({PORT});
    row.steps.push_back({PAD});
    row.steps.insert(row.steps.end(), last.begin(), last.end());
    return row;
}

// The port in width columns, its start cut away when it is longer: the end
// of a path is what tells ports apart.
std::string port_field(const std::string& port, int width)
{
    const auto w = static_cast<std::size_t>(std::max(width, 0));
    if (port.size() <= w)
        return port + std::string(w - port.size(), ' ');
    if (w <= 3)
        return port.substr(port.size() - w);
    return "..." + port.substr(port.size() - (w - 3));
}

} // namespace

std::string format_port_line(const std::string& port, int port_width, const PortView& view, int columns)
{
    Row row = row_of(view);
    const int whole_width = std::max(port_width, static_cast<int>(std::min<std::size_t>(port.size(), MIN_PORT_WIDTH)));
    int width = std::min(whole_width, MIN_PORT_WIDTH);
    bool padded = false;
    const auto line_of = [&] {
        std::string rest;
        for (const Part& part : row.parts) {
            if (part.form != Form::Hidden)
                rest += GAP + part.text();
        }
        std::string state = state_word(view);
        if (padded && !rest.empty())
            state.resize(std::max<std::size_t>(state.size(), STATE_WIDTH), ' ');
        return port_field(port, width) + GAP + state + rest;
    };
    if (columns <= 0) {
        width = whole_width;
        padded = true;
        for (Part& part : row.parts)
            part.form = part.whole.empty() ? Form::Hidden : Form::Whole;
        return line_of();
    }
    const auto room = static_cast<std::size_t>(std::max(columns - 1, 0));
    for (const Step& step : row.steps) {
        if (step.part == PORT) {
            const std::size_t now = line_of().size();
            if (now < room)
                width = std::min(whole_width, width + static_cast<int>(room - now));
            continue;
        }
        if (step.part == PAD) {
            padded = true;
            if (line_of().size() > room)
                padded = false;
            continue;
        }
        Part& part = row.parts[static_cast<std::size_t>(step.part)];
        const std::string& text = step.form == Form::Whole ? part.whole : part.brief;
        if (text.empty() || part.form >= step.form)
            continue;
        const Form before = part.form;
        part.form = step.form;
        if (line_of().size() > room)
            part.form = before;
    }
    // Too narrow even for the port and its state: the port gives way first.
    std::string line = line_of();
    while (line.size() > room && width > 1) {
        --width;
        line = line_of();
    }
    return fit_clauses(line, room);
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

namespace {

std::uint32_t now_of(const PortsDisplay& shown) { return shown.now != nullptr ? shown.now() : tick_count(); }

void write_out(PortsDisplay& shown, const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), shown.out);
    std::fflush(shown.out);
}

// With the lock held: a line of its own off a terminal, after the time
// for a station.
void write_event(PortsDisplay& shown, const std::string& text)
{
    if (!shown.timed) {
        write_out(shown, text + "\n");
        return;
    }
    write_out(shown, clock_text(std::time(nullptr)) + " " + text + "\n");
}

// With the lock held: the live block drawn again over the one on the
// screen, each line cleared to its end, as one write.
void redraw(PortsDisplay& shown)
{
    const int columns = shown.columns != nullptr ? shown.columns() : 80;
    const int rows = shown.rows != nullptr ? shown.rows() : 24;
    const std::uint32_t now = now_of(shown);
    for (PortView& view : shown.views)
        view.waiting_ms = now - view.waiting_since;
    const bool head = !shown.head.empty();
    std::vector<std::string> ports;
    std::vector<PortView> views;
    for (std::size_t i = 0; i < shown.ports.size(); ++i) {
        if (i < shown.hidden.size() && shown.hidden[i])
            continue;
        ports.push_back(shown.ports[i]);
        views.push_back(shown.views[i]);
    }
    std::vector<std::string> lines = compose_port_lines(ports, views, columns, rows - (head ? 1 : 0));
    if (head)
        lines.insert(lines.begin(), fit_clauses(shown.head, static_cast<std::size_t>(std::max(columns - 1, 0))));
    std::string frame;
    if (shown.drawn > 0)
        frame += printed("\r\033[%dA", shown.drawn);
    for (const std::string& line : lines)
        frame += "\r" + line + "\033[K\n";
    // A block that shrank (the terminal grew shorter) leaves no stale lines.
    for (int i = static_cast<int>(lines.size()); i < shown.drawn; ++i)
        frame += "\r\033[K\n";
    if (shown.drawn > static_cast<int>(lines.size()))
        frame += printed("\033[%dA", shown.drawn - static_cast<int>(lines.size()));
    shown.drawn = static_cast<int>(lines.size());
    shown.drawn_at = now;
    shown.ever_drawn = true;
    write_out(shown, frame);
}

// With the lock held: a line above the live block, which is drawn again
// below it.
void say_above(PortsDisplay& shown, const std::string& text)
{
    if (!shown.terminal) {
        write_event(shown, text);
        return;
    }
    std::string frame;
    if (shown.drawn > 0)
        frame += printed("\r\033[%dA", shown.drawn);
    const int columns = shown.columns != nullptr ? shown.columns() : 80;
    for (const std::string& line : wrap_words(text, static_cast<std::size_t>(std::max(columns - 1, 1)), "  "))
        frame += "\r" + line + "\033[K\n";
    write_out(shown, frame);
    shown.drawn = 0;
    redraw(shown);
}

} // namespace

void ports_display_start(PortsDisplay& shown, const std::vector<std::string>& ports, bool terminal,
                         std::FILE* out)
{
    const std::lock_guard<std::mutex> hold(shown.lock);
    shown.out = out;
    shown.terminal = terminal;
    shown.ports = ports;
    shown.views.assign(ports.size(), PortView{});
    shown.drawn = 0;
    shown.ever_drawn = false;
}

void ports_display_update(PortsDisplay& shown, std::size_t index, const PortView& view)
{
    const std::lock_guard<std::mutex> hold(shown.lock);
    if (index >= shown.views.size())
        return;
    PortView& mine = shown.views[index];
    const bool change = mine.phase != view.phase;
    mine = view;
    if (change && !shown.terminal)
        write_event(shown, shown.ports[index] + ": " + port_change_text(view));
}

std::size_t ports_display_add(PortsDisplay& shown, const std::string& port)
{
    const std::lock_guard<std::mutex> hold(shown.lock);
    shown.ports.push_back(port);
    shown.views.emplace_back();
    return shown.ports.size() - 1;
}

void ports_display_rename(PortsDisplay& shown, std::size_t index, const std::string& port)
{
    const std::lock_guard<std::mutex> hold(shown.lock);
    if (index < shown.ports.size())
        shown.ports[index] = port;
}

void ports_display_hide(PortsDisplay& shown, std::size_t index, bool hidden)
{
    const std::lock_guard<std::mutex> hold(shown.lock);
    if (shown.hidden.size() <= index)
        shown.hidden.resize(index + 1, false);
    shown.hidden[index] = hidden;
}

void ports_display_head(PortsDisplay& shown, const std::string& head)
{
    const std::lock_guard<std::mutex> hold(shown.lock);
    shown.head = head;
}

void ports_display_say(PortsDisplay& shown, std::size_t index, const char* text)
{
    const std::lock_guard<std::mutex> hold(shown.lock);
    if (index < shown.ports.size())
        say_above(shown, shown.ports[index] + ": " + text);
}

void ports_display_note(PortsDisplay& shown, const char* text)
{
    const std::lock_guard<std::mutex> hold(shown.lock);
    say_above(shown, std::string("qdm7-flash: ") + text);
}

void ports_display_draw(PortsDisplay& shown)
{
    const std::lock_guard<std::mutex> hold(shown.lock);
    if (shown.terminal && (!shown.ever_drawn || now_of(shown) - shown.drawn_at >= PORTS_REDRAW_MS))
        redraw(shown);
}

void ports_display_end(PortsDisplay& shown)
{
    const std::lock_guard<std::mutex> hold(shown.lock);
    if (shown.terminal)
        redraw(shown);
}
