#include "tools/qdm7-flash/view/ports_display.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "engine/frames.h"
#include "platform/platform.h"
#include "tools/qdm7-flash/console/printed.h"
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
    }
    return "";
}

std::string seconds_text(std::uint32_t ms) { return printed("%.1f s", ms / 1000.0); }

// A part of the line after the state, and whether it is still shown.
struct Part {
    std::string text;
    bool shown = true;
};

// The parts after the state, in the order shown.
struct Parts {
    Part block, short_block, rate, left, resends, other;
};

Parts parts_of(const PortView& view)
{
    Parts parts;
    parts.short_block.shown = parts.block.shown = parts.rate.shown = parts.left.shown = false;
    parts.resends.shown = view.timeouts > 0 && view.phase != PortPhase::Done;
    parts.resends.text = printed("(%u resend%s)", static_cast<unsigned>(view.timeouts), view.timeouts == 1 ? "" : "s");
    switch (view.phase) {
    case PortPhase::Programming: {
        const std::int32_t total = std::max(view.blocks_total, 1);
        const std::int32_t current = std::min(view.blocks_done + 1, total);
        parts.block = {printed("block %ld of %ld", static_cast<long>(current), static_cast<long>(total))};
        parts.short_block = {printed("%ld/%ld", static_cast<long>(current), static_cast<long>(total)), false};
        parts.rate = {"--.- KiB/s"};
        parts.left = {"--:-- left"};
        const Pace pace = pace_of(static_cast<std::int64_t>(view.blocks_done) * BLOCK_SIZE,
                                  static_cast<std::int64_t>(total) * BLOCK_SIZE, view.programming_ms);
        if (pace.known) {
            parts.rate.text = printed("%.1f KiB/s", pace.kib_per_s);
            parts.left.text = printed("%ld:%02ld left", pace.left_s / 60, pace.left_s % 60);
        }
        parts.other.shown = false;
        break;
    }
    case PortPhase::PowerWait:
        parts.other.text = view.stray_bytes > 0
                               ? printed("no reply for %u s, %s came: power-cycle it into its loader",
                                         static_cast<unsigned>(view.waiting_ms / 1000),
                                         counted(view.stray_bytes, "byte").c_str())
                               : printed("no answer for %u s: power-cycle the device",
                                         static_cast<unsigned>(view.waiting_ms / 1000));
        break;
    case PortPhase::Reconnecting:
        parts.other.text = printed("waiting %u s for it to return", static_cast<unsigned>(view.waiting_ms / 1000));
        break;
    case PortPhase::Done:
        parts.other.text = seconds_text(view.elapsed_ms);
        if (!view.detail.empty())
            parts.other.text += GAP + view.detail;
        break;
    default:
        parts.other.shown = false;
        break;
    }
    return parts;
}

std::string join(const std::vector<const Part*>& list)
{
    std::string text;
    for (const Part* part : list) {
        if (!part->shown)
            continue;
        if (!text.empty())
            text += GAP;
        text += part->text;
    }
    return text;
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
    Parts parts = parts_of(view);
    const std::vector<const Part*> order = {&parts.block, &parts.short_block, &parts.rate, &parts.left,
                                            &parts.resends, &parts.other};
    port_width = std::max(port_width, static_cast<int>(std::min<std::size_t>(port.size(), MIN_PORT_WIDTH)));
    std::string state = state_word(view);
    state.resize(std::max<std::size_t>(state.size(), STATE_WIDTH), ' ');
    const auto line_of = [&] {
        std::string rest = join(order);
        std::string line = port_field(port, port_width) + GAP + (rest.empty() ? std::string(state_word(view))
                                                                             : state + GAP + rest);
        return line;
    };
    if (columns <= 0)
        return line_of();
    const auto room = static_cast<std::size_t>(std::max(columns - 1, 0));
    const auto narrower = [&] {
        if (parts.resends.shown) return parts.resends.shown = false, true;
        if (parts.rate.shown) return parts.rate.shown = false, true;
        if (parts.left.shown) return parts.left.shown = false, true;
        if (parts.block.shown) return parts.block.shown = false, parts.short_block.shown = true;
        if (port_width <= MIN_PORT_WIDTH)
            return false;
        // Free text at the end is cut rather than the port's name shortened
        // for it: the port says which device the line is about.
        if (parts.other.shown) {
            parts.other.shown = false;
            const bool fits = line_of().size() <= room;
            parts.other.shown = true;
            if (fits)
                return false;
        }
        return --port_width, true;
    };
    std::string line = line_of();
    while (line.size() > room && narrower())
        line = line_of();
    if (line.size() > room)
        line.resize(room);
    return line;
}

std::string port_change_text(const PortView& view)
{
    switch (view.phase) {
    case PortPhase::Opening: return "opening";
    case PortPhase::Contacting: return "contacting";
    case PortPhase::PowerWait: return "waiting for the device to power on: switch it off and on now";
    case PortPhase::Programming: return "programming " + counted(view.blocks_total, "block");
    case PortPhase::Verifying: return "verifying";
    case PortPhase::Resetting: return "resetting";
    case PortPhase::Reconnecting: return "port lost; waiting for it to return";
    case PortPhase::Done: break;
    }
    std::string text = device_result_name(view.result);
    text += (view.result == DeviceResult::Completed ? " in " : " after ") + seconds_text(view.elapsed_ms);
    if (!view.detail.empty())
        text += ": " + view.detail;
    return text;
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
        int done = 0;
        int completed = 0;
        for (int i = shown; i < count; ++i) {
            const PortView& view = views[static_cast<std::size_t>(i)];
            done += view.phase == PortPhase::Done;
            completed += view.phase == PortPhase::Done && view.result == DeviceResult::Completed;
        }
        std::string rest = printed("and %d more: %d running, %d completed, %d not", count - shown, count - shown - done,
                                   completed, done - completed);
        if (columns > 0 && rest.size() > static_cast<std::size_t>(columns - 1))
            rest.resize(static_cast<std::size_t>(std::max(columns - 1, 0)));
        lines.push_back(rest);
    }
    return lines;
}

std::string format_summary(const std::vector<std::string>& ports, const std::vector<PortView>& views)
{
    int width = 4; // "port"
    for (const std::string& port : ports)
        width = std::max(width, static_cast<int>(port.size()));
    std::string table = printed("%-*s  %-9s  %s\n", width, "port", "result", "seconds");
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const PortView& view = views[i];
        const char* result = view.phase == PortPhase::Done ? device_result_name(view.result) : "unfinished";
        table += printed("%-*s  %-9s  %7.1f\n", width, ports[i].c_str(), result, view.elapsed_ms / 1000.0);
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
    if (head) {
        std::string line = shown.head;
        if (line.size() > static_cast<std::size_t>(std::max(columns - 1, 0)))
            line.resize(static_cast<std::size_t>(std::max(columns - 1, 0)));
        lines.insert(lines.begin(), line);
    }
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
    frame += "\r" + text + "\033[K\n";
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
