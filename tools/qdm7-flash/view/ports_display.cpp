#include "tools/qdm7-flash/view/ports_display.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/view/fit_text.h"
#include "tools/qdm7-flash/view/watch_view.h"

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
