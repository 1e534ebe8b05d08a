#include "tools/qdm7-flash/station/watch.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/platform.h"
#include "platform/report.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/exit_codes.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/console/stop_watch.h"
#include "tools/qdm7-flash/records/device_record.h"
#include "tools/qdm7-flash/station/slot.h"
#include "tools/qdm7-flash/station/station.h"
#include "tools/qdm7-flash/view/fit_text.h"
#include "tools/qdm7-flash/view/ports_display.h"
#include "tools/qdm7-flash/view/watch_view.h"

namespace {

// How often the main thread draws and looks for units that ended.
constexpr std::uint32_t DRAW_POLL_MS = 20;
// Looks in a row that must find a new port before its unit is taken: a
// port that has just come may not be ready (its rights set, its driver
// done), and one on its way out is not taken for one that came.
constexpr int LOOKS_BEFORE_TAKING = 2;

enum class PlaceState : std::uint8_t {
    Empty,  // no unit, or none seen long enough
    Busy,   // a unit is being updated
    Ended,  // its unit ended (or it is no port): left alone until it goes
};

// A port the watch has seen, and its line.
struct Place {
    std::string path;
    std::size_t index = 0;
    PlaceState state = PlaceState::Empty;
    PortIdentity identity; // of its unit now, or its last one
    int looks = 0;         // looks in a row that found it
    std::unique_ptr<Slot> unit;
    PortView last;         // its line while no unit is updated: its last unit's end, or one not taken
    bool not_taken = false; // a unit there now was not taken: the count was reached
    bool no_port = false;  // a file or a folder, or a device that is no serial port: never a unit
};

struct Watch {
    explicit Watch(const WatchSetup& given) : setup(given) {}
    const WatchSetup& setup;
    PortsDisplay display;
    std::vector<std::unique_ptr<Place>> places;
    WatchTotals totals;
    std::uint32_t started = 0; // units begun, not counting a port that was no unit
    std::vector<CutUnit> cut;  // units in the middle of their update at Ctrl-C
    std::uint32_t began_at = 0;
    std::string run_id;
    bool records_lost = false;
    ImageFailure image_failure; // a unit's image could not be loaded: the watch ends
};

std::string label_of(const PortIdentity& port)
{
    return port.serial.empty() ? port.path : port.path + " " + port.serial;
}

// The lost device of a unit being updated, back on another port: its run
// takes it again.
bool claimed(const Watch& watch, const PortIdentity& port)
{
    if (port.kind != PortKind::Usb || port.serial.empty())
        return false;
    return std::any_of(watch.places.begin(), watch.places.end(), [&](const std::unique_ptr<Place>& place) {
        const PortIdentity& unit = place->identity;
        return place->state == PlaceState::Busy && unit.kind == PortKind::Usb && unit.serial == port.serial &&
               unit.usb_vid == port.usb_vid && unit.usb_pid == port.usb_pid;
    });
}

// The place of path, made when the watch has not seen it, with a line kept
// out of view until a unit is taken there (or not taken).
Place& place_of(Watch& watch, const PortIdentity& port)
{
    for (auto& place : watch.places) {
        if (place->path == port.path)
            return *place;
    }
    auto place = std::make_unique<Place>();
    place->path = port.path;
    place->identity = port;
    place->index = ports_display_add(watch.display, label_of(port));
    ports_display_hide(watch.display, place->index);
    watch.places.push_back(std::move(place));
    return *watch.places.back();
}

void say(Watch& watch, const Place& place, const std::string& text)
{
    ports_display_say(watch.display, place.index, text.c_str());
}

// A path that is no serial port (a lock file beside a port, /dev/null, a
// folder), said once and kept off the live block.
void leave_alone(Watch& watch, Place& place)
{
    place.state = PlaceState::Ended;
    place.no_port = true;
    say(watch, place, "not a serial port; left alone");
    ports_display_hide(watch.display, place.index);
}

// Plainly no port, told without opening it: a regular file or a folder.
bool plainly_no_port(const std::string& path)
{
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    return !error && (std::filesystem::is_regular_file(status) || std::filesystem::is_directory(status));
}

// A unit came while --count units are already taken: its line says so, and
// it is left alone as long as the count holds.
void mark_not_taken(Watch& watch, Place& place, const PortIdentity& port)
{
    if (place.not_taken)
        return;
    place.not_taken = true;
    place.identity = port;
    place.last = PortView{};
    place.last.phase = PortPhase::NotTaken;
    place.last.detail = "count reached";
    ports_display_rename(watch.display, place.index, label_of(port));
    ports_display_hide(watch.display, place.index, false);
    ports_display_update(watch.display, place.index, place.last);
}

void start_unit(Watch& watch, Place& place, const PortIdentity& port)
{
    const WatchSetup& setup = watch.setup;
    place.identity = port;
    place.state = PlaceState::Busy;
    place.no_port = false;
    place.not_taken = false;
    ports_display_hide(watch.display, place.index, false);
    ++watch.started;
    auto unit = std::make_unique<Slot>();
    unit->index = place.index;
    unit->display = &watch.display;
    unit->watched = true;
    WorkerSetup& worker = unit->worker.setup;
    worker.port = place.path;
    worker.deadline_ms = setup.deadline_ms;
    worker.reconnect = setup.reconnect;
    worker.verify_first = setup.skip_if_current;
    worker.watched = true;
    worker.own_thread = true;
    worker.trace_to = TraceTo::Nowhere;
    worker.report = setup.report;
    worker.record_given_port = true;
    worker.record_unopened = false;
    worker.run_id = watch.run_id;
    unit->worker.view = slot_view(*unit);
    ports_display_rename(watch.display, place.index, label_of(port));
    say(watch, place, port.serial.empty() ? "a unit came" : "a unit came, USB serial number " + port.serial);
    if (!setup.log_dir.empty()) {
        const std::string path = trace_file_paths(setup.log_dir, {place.path}, utc_now_ms()).front();
        worker.trace_file = std::fopen(path.c_str(), "w");
        if (worker.trace_file != nullptr)
            worker.trace_to = TraceTo::File;
        else
            say(watch, place, printed("cannot write the trace file %s; updating without a trace", path.c_str()));
    }
    ports_display_update(watch.display, place.index, PortView{});
    unit->thread = std::thread(update_slot, std::ref(*unit), std::cref(setup.report_path));
    place.unit = std::move(unit);
}

// A unit that Ctrl-C cut short: its line marked, and its name kept for the
// closing lines.
void cut_short(Watch& watch, Place& place)
{
    const Slot& unit = *place.unit;
    place.last = PortView{};
    place.last.phase = PortPhase::Cut;
    place.last.detail = cut_where(unit.view);
    place.last.next_step = "not recorded: update it again";
    place.last.next_step_brief = "update it again";
    ports_display_update(watch.display, place.index, place.last);
    const std::string& serial = unit.worker.run.usb_serial;
    watch.cut.push_back(CutUnit{place.path, serial.empty() ? place.identity.serial : serial, place.last.detail});
}

// A unit whose thread is done: counted, its line left with its result.
void end_unit(Watch& watch, Place& place)
{
    Slot& unit = *place.unit;
    unit.thread.join();
    if (unit.worker.setup.trace_file != nullptr)
        std::fclose(unit.worker.setup.trace_file);
    const Worker& worker = unit.worker;
    const PortFailure& failure = worker.run.open_failure;
    place.state = PlaceState::Ended;
    if (worker.image_failure.kind != ImageFailureKind::None)
        watch.image_failure = worker.image_failure;
    if (!worker.recorded) {
        // Gone again before it was opened, or no serial port: no unit.
        // Ctrl-C leaves no record either: the unit did not finish.
        --watch.started;
        if (worker.run.result == PortRunResult::Interrupted) {
            cut_short(watch, place);
        } else if (failure.not_serial()) {
            leave_alone(watch, place);
        } else if (failure.absent) {
            // No unit after all: the line shows its last unit again, or none.
            place.state = PlaceState::Empty;
            if (place.last.phase == PortPhase::Done)
                ports_display_update(watch.display, place.index, place.last);
            else
                ports_display_hide(watch.display, place.index);
        }
    } else {
        if (worker.record.result == DeviceResult::Completed)
            ++watch.totals.completed;
        else
            ++watch.totals.failed;
        watch.records_lost = watch.records_lost || !worker.record_error.empty();
        place.last = unit.view;
        place.last.ended_at = clock_text(std::time(nullptr));
        ports_display_update(watch.display, place.index, place.last);
        // Off a terminal its line said so already; on one the live line
        // has room for the reason and the next step in brief only.
        if (watch.display.terminal && place.last.result != DeviceResult::Completed)
            say(watch, place, port_change_text(place.last));
    }
    // A device found again on another port after a loss ended there: that
    // port holds the same unit, not a new one.
    if (worker.recorded && !worker.run.port.empty() && worker.run.port != place.path) {
        PortIdentity moved = place.identity;
        moved.path = worker.run.port;
        Place& there = place_of(watch, moved);
        if (there.state == PlaceState::Empty) {
            there.state = PlaceState::Ended;
            there.identity = place.identity;
        }
    }
    place.unit.reset();
    place.looks = 0;
}

// One look at the watched ports: units that came taken, ports gone noted.
void look(Watch& watch)
{
    const std::vector<PortIdentity> ports = watch.setup.ports(watch.setup.context);
    for (const PortIdentity& port : ports) {
        Place& place = place_of(watch, port);
        ++place.looks;
        if (place.state == PlaceState::Empty)
            place.identity = port; // of the unit there now
        // With a count, no more units at once than are still to come: one
        // taken beyond it would be waited for after the last counted ended.
        const bool room = watch.setup.count == 0 || watch.started < watch.setup.count;
        if (place.state == PlaceState::Empty && place.looks >= LOOKS_BEFORE_TAKING && !claimed(watch, port)) {
            if (plainly_no_port(place.path))
                leave_alone(watch, place);
            else if (room)
                start_unit(watch, place, port);
            else
                mark_not_taken(watch, place, port);
        }
    }
    for (auto& held : watch.places) {
        Place& place = *held;
        const bool there = std::any_of(ports.begin(), ports.end(),
                                       [&](const PortIdentity& port) { return port.path == place.path; });
        if (there)
            continue;
        if (place.state == PlaceState::Ended && place.no_port) {
            place.state = PlaceState::Empty;
        } else if (place.state == PlaceState::Ended) {
            place.state = PlaceState::Empty;
            say(watch, place, "taken away");
            if (place.last.phase == PortPhase::Done) {
                place.last.taken_away = true;
                ports_display_update(watch.display, place.index, place.last);
            }
        } else if (place.not_taken) {
            place.not_taken = false;
            place.last.taken_away = true;
            ports_display_update(watch.display, place.index, place.last);
        }
        place.looks = 0;
    }
}

std::uint32_t units_ended(const Watch& watch) { return watch.totals.completed + watch.totals.failed; }

// The count reached: every unit there that was not taken says so, also one
// seen at the last look alone.
void mark_the_rest(Watch& watch)
{
    for (auto& held : watch.places) {
        Place& place = *held;
        if (place.state == PlaceState::Empty && place.looks > 0 && !claimed(watch, place.identity) &&
            !plainly_no_port(place.path))
            mark_not_taken(watch, place, place.identity);
    }
}

void show_totals(Watch& watch)
{
    watch.totals.elapsed_ms = tick_count() - watch.began_at;
    watch.totals.updating = watch.started - units_ended(watch);
    ports_display_head(watch.display, watch_head_text(watch.totals));
}

// A closing line, after the live block: on a terminal broken at blanks to
// fit it.
void say_closing(const Watch& watch, const std::string& text)
{
    const bool terminal = watch.display.terminal;
    const std::size_t room = terminal ? static_cast<std::size_t>(std::max(terminal_columns() - 1, 20))
                                      : std::string::npos;
    // Its own indent, and two more on the lines it is broken onto.
    const std::size_t lead = std::min(text.find_first_not_of(' '), text.size());
    for (const std::string& line : wrap_words(text, room, std::string(lead + 2, ' ')))
        std::fprintf(stderr, "%s\n", line.c_str());
}

// The fatal sink while units are updated: no one port to name.
void show_fatal_text(void*, const char* text)
{
    std::fputs(text, stderr);
    std::fflush(stderr);
}

} // namespace

std::string watch_run_id(std::int64_t utc_ms, unsigned number)
{
    return utc_stamp(utc_ms) + printed("-%04x", number & 0xFFFFu);
}

int run_watch(const WatchSetup& setup)
{
    stop_watch_start(0); // the deadline is each unit's own
    set_fatal_sink(show_fatal_text, nullptr);
    Watch watch{setup};
    watch.began_at = tick_count();
    watch.run_id = watch_run_id(utc_now_ms(), static_cast<unsigned>(std::time(nullptr)) ^ tick_count());
    watch.totals.count = setup.count;
    watch.totals.watched = setup.watched;
    const bool terminal = stderr_is_terminal() && terminal_cursor_moves();
    watch.display.columns = terminal_columns;
    watch.display.rows = terminal_rows;
    watch.display.timed = true;
    ports_display_start(watch.display, {}, terminal, stderr);
    ports_display_note(watch.display, printed("watching %s for units (run %s); Ctrl-C ends the watch",
                                              setup.watched.c_str(), watch.run_id.c_str())
                                          .c_str());

    std::uint32_t looked_at = tick_count() - WATCH_POLL_MS;
    while (stop_requested() == StopReason::None) {
        // By index: ending a unit may add the place it ended on.
        for (std::size_t i = 0; i < watch.places.size(); ++i) {
            Place& place = *watch.places[i];
            if (place.state == PlaceState::Busy && place.unit->finished)
                end_unit(watch, place);
        }
        if (watch.image_failure.kind != ImageFailureKind::None)
            break;
        if (setup.count != 0 && units_ended(watch) >= setup.count) {
            mark_the_rest(watch);
            break;
        }
        if (tick_count() - looked_at >= WATCH_POLL_MS) {
            looked_at = tick_count();
            look(watch);
        }
        show_totals(watch);
        ports_display_draw(watch.display);
        sleep_ms(DRAW_POLL_MS);
    }
    // Ctrl-C reaches every unit's thread too; each closes its port.
    for (std::size_t i = 0; i < watch.places.size(); ++i) {
        if (watch.places[i]->state == PlaceState::Busy)
            end_unit(watch, *watch.places[i]);
    }
    show_totals(watch);
    ports_display_end(watch.display);
    const bool interrupted = stop_requested() == StopReason::Interrupted;
    say_closing(watch, "qdm7-flash: " + watch_summary_text(watch.totals));
    if (watch.records_lost)
        std::fprintf(stderr, "qdm7-flash: some records could not be written to %s\n", setup.report_path.c_str());
    if (watch.image_failure.kind != ImageFailureKind::None) {
        show_fatal_text(nullptr, image_failure_text(watch.image_failure).c_str());
        return EXIT_FATAL;
    }
    if (interrupted) {
        const std::vector<std::string> cut = cut_units_text(watch.cut);
        for (std::size_t i = 0; i < cut.size(); ++i)
            say_closing(watch, (i == 0 ? "qdm7-flash: " : "") + cut[i]);
        std::fprintf(stderr, "qdm7-flash: interrupted; every port closed\n");
        return EXIT_INTERRUPTED;
    }
    if (watch.totals.failed != 0) {
        std::fprintf(stderr, "qdm7-flash: not every unit was updated\n");
        return EXIT_NOT_ALL_UPDATED;
    }
    return watch.records_lost ? EXIT_FATAL : EXIT_COMPLETED;
}
