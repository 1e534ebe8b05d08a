#include "tools/qdm7-flash/station/watch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>

#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/records/device_record.h"
#include "tools/qdm7-flash/station/closing.h"
#include "tools/qdm7-flash/station/slot.h"
#include "tools/qdm7-flash/station/station.h"
#include "tools/qdm7-flash/station/watch_book.h"
#include "tools/qdm7-flash/view/ports_display.h"
#include "tools/qdm7-flash/view/watch_view.h"

namespace {

// How often the main thread draws and looks for units that ended.
constexpr std::uint32_t DRAW_POLL_MS = 20;

struct Watch {
    explicit Watch(const WatchSetup& given) : setup(given), host(*given.update.host) {}
    const WatchSetup& setup;
    const Host& host;
    WatchBook book;
    PortsDisplay display;
    std::map<std::size_t, std::unique_ptr<Slot>> units; // by place, while each is updated
    std::uint32_t began_at = 0;
    std::string run_id;
    std::string image_fatal; // a unit's image could not be loaded: its fatal text
    unsigned long image_number = 0;
    bool traces_stopped = false; // the trace folder filled: no trace is made from then on
};

void carry_out(Watch& watch, const WatchSteps& steps);

// A trace that could not be written, said once: a full disk is no reason to
// stop updating units, only to stop tracing them.
void stop_traces(Watch& watch, std::size_t place, const std::string& why)
{
    if (watch.traces_stopped)
        return;
    watch.traces_stopped = true;
    ports_display_say(watch.display, place,
                      printed("its trace could not be written in %s: %s; no more traces are written (the updates "
                              "and their records go on)",
                              watch.setup.update.log_dir.c_str(), why.c_str())
                          .c_str());
}

// Starts the unit's worker, with its trace when one is asked for; one whose
// trace cannot be written is refused instead, but for a full disk.
void start_unit(Watch& watch, std::size_t place)
{
    const UpdateSetup& update = watch.setup.update;
    const std::string& path = watch.book.places[place].path;
    auto unit = std::make_unique<Slot>();
    unit->index = place;
    unit->display = &watch.display;
    unit->watched = true;
    unit->worker.setup = worker_setup(update, path, WorkerRole::WatchedUnit, watch.run_id);
    unit->worker.view = slot_view(*unit);
    if (!update.log_dir.empty() && !watch.traces_stopped) {
        const Outcome refused =
            open_trace(unit->worker.setup, trace_file_paths(update.log_dir, {path}, utc_now_ms()).front());
        if (refused.number == ENOSPC) {
            stop_traces(watch, place, std::strerror(ENOSPC));
        } else if (refused.kind != OutcomeKind::Completed) {
            carry_out(watch, book_refuse(watch.book, place, refused.text));
            return;
        }
    }
    start_slot(*unit);
    watch.units[place] = std::move(unit);
}

void carry_out(Watch& watch, const WatchSteps& steps)
{
    PortsDisplay& display = watch.display;
    for (const WatchStep& step : steps) {
        switch (step.what) {
        case WatchStep::What::Add: ports_display_add(display, step.text); break;
        case WatchStep::What::Rename: ports_display_rename(display, step.place, step.text); break;
        case WatchStep::What::Hide: ports_display_hide(display, step.place); break;
        case WatchStep::What::Show: ports_display_hide(display, step.place, false); break;
        case WatchStep::What::Update: ports_display_update(display, step.place, step.view); break;
        case WatchStep::What::Say: ports_display_say(display, step.place, step.text.c_str()); break;
        case WatchStep::What::Start: start_unit(watch, step.place); break;
        }
    }
}

// A unit whose thread is done, or is to be: waited for, and its end told.
void end_unit(Watch& watch, std::size_t place)
{
    Slot& unit = *watch.units.at(place);
    end_slot(unit);
    const Worker& worker = unit.worker;
    UnitEnd end;
    end.recorded = worker.recorded;
    end.result = worker.record.result;
    end.interrupted = worker.run.result == PortRunResult::Interrupted;
    end.not_serial = worker.run.open_failure.not_serial();
    end.absent = worker.run.open_failure.absent;
    end.ended_on = worker.run.port;
    end.usb_serial = worker.run.usb_serial;
    end.view = unit.view;
    end.record_error = worker.record_error;
    end.image_failed = worker.image_failure.kind != ImageFailureKind::None;
    end.ended_at = clock_text(std::time(nullptr));
    if (!worker.trace_error.empty())
        stop_traces(watch, place, worker.trace_error);
    if (end.image_failed) {
        watch.image_fatal = worker.outcome.text;
        watch.image_number = worker.outcome.number;
    }
    watch.units.erase(place);
    carry_out(watch, book_unit_ended(watch.book, place, end));
}

// The units whose threads are done.
void end_finished_units(Watch& watch)
{
    std::vector<std::size_t> done;
    for (const auto& [place, unit] : watch.units) {
        if (unit->finished)
            done.push_back(place);
    }
    for (const std::size_t place : done)
        end_unit(watch, place);
}

void look(Watch& watch)
{
    std::vector<SeenPort> seen;
    for (PortIdentity& port : watch.setup.ports(watch.setup.context)) {
        const bool file = watch.host.plainly_no_port(port.path.c_str());
        seen.push_back(SeenPort{std::move(port), file});
    }
    carry_out(watch, book_look(watch.book, seen));
}

WatchTotals totals_of(const Watch& watch)
{
    WatchTotals totals;
    totals.completed = watch.book.completed;
    totals.failed = watch.book.failed;
    totals.updating = watch.book.started - book_units_ended(watch.book);
    totals.count = watch.setup.count;
    totals.elapsed_ms = watch.host.tick_count() - watch.began_at;
    totals.watched = watch.setup.watched;
    return totals;
}

Outcome closing(const Watch& watch)
{
    const int columns = watch.display.terminal ? terminal_columns() : 0;
    RunEnds ends;
    ends.watch = true;
    ends.summary = closing_text("qdm7-flash: " + watch_summary_text(totals_of(watch)), columns);
    ends.all_completed = watch.book.failed == 0;
    ends.records_lost = watch.book.records_lost;
    ends.report_path = watch.setup.update.report_path;
    ends.image_fatal = watch.image_fatal;
    ends.image_number = watch.image_number;
    ends.refusal = watch.book.refusal;
    ends.interrupted = watch.host.stop_requested() == StopReason::Interrupted;
    ends.cut = cut_units_text(watch.book.cut);
    ends.columns = columns;
    return run_outcome(ends);
}

} // namespace

std::string watch_run_id(std::int64_t utc_ms, unsigned number)
{
    return utc_stamp(utc_ms) + printed("-%04x", number & 0xFFFFu);
}

Outcome run_watch(const WatchSetup& setup)
{
    const Host& host = *setup.update.host;
    host.watch_for_stop(0); // the deadline is each unit's own
    Watch watch{setup};
    watch.began_at = host.tick_count();
    watch.run_id = watch_run_id(utc_now_ms(), static_cast<unsigned>(std::time(nullptr)) ^ host.tick_count());
    watch.book.count = setup.count;
    watch.book.report_path = setup.update.report_path;
    const bool terminal = stderr_is_terminal() && terminal_cursor_moves();
    watch.book.terminal = terminal;
    watch.display.columns = terminal_columns;
    watch.display.rows = terminal_rows;
    watch.display.now = host.tick_count;
    watch.display.timed = true;
    ports_display_start(watch.display, {}, terminal, stderr);
    ports_display_note(watch.display, printed("watching %s for units (run %s); Ctrl-C ends the watch",
                                              setup.watched.c_str(), watch.run_id.c_str())
                                          .c_str());

    std::uint32_t looked_at = host.tick_count() - WATCH_POLL_MS;
    while (host.stop_requested() == StopReason::None) {
        end_finished_units(watch);
        if (book_finished(watch.book)) {
            carry_out(watch, book_close(watch.book));
            break;
        }
        if (host.tick_count() - looked_at >= WATCH_POLL_MS) {
            looked_at = host.tick_count();
            look(watch);
        }
        ports_display_head(watch.display, watch_head_text(totals_of(watch)));
        ports_display_draw(watch.display);
        host.sleep_ms(DRAW_POLL_MS);
    }
    // Ctrl-C reaches every unit's thread too; each closes its port.
    while (!watch.units.empty())
        end_unit(watch, watch.units.begin()->first);
    ports_display_head(watch.display, watch_head_text(totals_of(watch)));
    ports_display_end(watch.display);
    return closing(watch);
}
