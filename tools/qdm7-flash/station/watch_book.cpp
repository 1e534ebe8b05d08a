#include "tools/qdm7-flash/station/watch_book.h"

#include <algorithm>

using What = WatchStep::What;

namespace {

std::string label_of(const PortIdentity& port)
{
    return port.serial.empty() ? port.path : port.path + " " + port.serial;
}

void step(WatchSteps& steps, What what, std::size_t place, std::string text = {}, PortView view = {})
{
    steps.push_back(WatchStep{what, place, std::move(text), std::move(view)});
}

// The lost device of a unit being updated, back on another port: its run
// takes it again.
bool claimed(const WatchBook& book, const PortIdentity& port)
{
    if (port.kind != PortKind::Usb || port.serial.empty())
        return false;
    return std::any_of(book.places.begin(), book.places.end(), [&](const Place& place) {
        const PortIdentity& unit = place.identity;
        return place.state == PlaceState::Busy && unit.kind == PortKind::Usb && unit.serial == port.serial &&
               unit.usb_vid == port.usb_vid && unit.usb_pid == port.usb_pid;
    });
}

// The place of the port, made when the watch has not seen it, with a line
// kept out of view until a unit is taken there (or not taken).
std::size_t place_of(WatchBook& book, const PortIdentity& port, WatchSteps& steps)
{
    for (std::size_t i = 0; i < book.places.size(); ++i) {
        if (book.places[i].path == port.path)
            return i;
    }
    Place place;
    place.path = port.path;
    place.identity = port;
    book.places.push_back(place);
    const std::size_t index = book.places.size() - 1;
    step(steps, What::Add, index, label_of(port));
    step(steps, What::Hide, index);
    return index;
}

// A path that is no serial port (a lock file beside a port, /dev/null, a
// folder), said once and kept off the live block.
void leave_alone(WatchBook& book, std::size_t index, WatchSteps& steps)
{
    Place& place = book.places[index];
    place.state = PlaceState::Ended;
    place.no_port = true;
    step(steps, What::Say, index, "not a serial port; left alone");
    step(steps, What::Hide, index);
}

// A unit came that is not taken (the count is reached, or units are
// refused): its line says so, and it is left alone while that holds.
void mark_not_taken(WatchBook& book, std::size_t index, const PortIdentity& port, WatchSteps& steps)
{
    Place& place = book.places[index];
    if (place.not_taken)
        return;
    place.not_taken = true;
    place.identity = port;
    place.last = PortView{};
    place.last.phase = PortPhase::NotTaken;
    place.last.detail = book.refusal.empty() ? "count reached" : "units refused";
    step(steps, What::Rename, index, label_of(port));
    step(steps, What::Show, index);
    step(steps, What::Update, index, {}, place.last);
}

void start_unit(WatchBook& book, std::size_t index, const PortIdentity& port, WatchSteps& steps)
{
    Place& place = book.places[index];
    place.identity = port;
    place.state = PlaceState::Busy;
    place.no_port = false;
    place.not_taken = false;
    ++book.started;
    step(steps, What::Show, index);
    step(steps, What::Rename, index, label_of(port));
    step(steps, What::Say, index,
         port.serial.empty() ? "a unit came" : "a unit came, USB serial number " + port.serial);
    step(steps, What::Update, index, {}, PortView{});
    step(steps, What::Start, index);
}

// A unit that Ctrl-C cut short: its line marked, and its name kept for the
// closing lines.
void cut_short(WatchBook& book, std::size_t index, const UnitEnd& end, WatchSteps& steps)
{
    Place& place = book.places[index];
    place.last = PortView{};
    place.last.phase = PortPhase::Cut;
    place.last.detail = cut_where(end.view);
    place.last.next_step = "not recorded: update it again";
    place.last.next_step_brief = "update it again";
    step(steps, What::Update, index, {}, place.last);
    book.cut.push_back(
        CutUnit{place.path, end.usb_serial.empty() ? place.identity.serial : end.usb_serial, place.last.detail});
}

// A unit's record that could not be written: said with its result, and
// no unit is taken after it, since none could be recorded.
void lose_record(WatchBook& book, std::size_t index, const UnitEnd& end, WatchSteps& steps)
{
    book.records_lost = true;
    const std::string lost = std::string(" (") + device_result_name(end.result) + ") could not be written to " +
                             book.report_path + ": " + end.record_error;
    std::string said = "its record" + lost;
    if (book.refusal.empty()) {
        book.refusal = "the record of " + label_of(book.places[index].identity) + lost + "; taking no more units";
        said += "; taking no more units";
    }
    step(steps, What::Say, index, said);
}

} // namespace

WatchSteps book_look(WatchBook& book, const std::vector<SeenPort>& ports)
{
    WatchSteps steps;
    for (const SeenPort& seen : ports) {
        const PortIdentity& port = seen.identity;
        const std::size_t index = place_of(book, port, steps);
        Place& place = book.places[index];
        ++place.looks;
        place.plainly_no_port = seen.plainly_no_port;
        if (place.state == PlaceState::Empty)
            place.identity = port; // of the unit there now
        // With a count, no more units at once than are still to come: one
        // taken beyond it would be waited for after the last counted ended.
        const bool room = (book.count == 0 || book.started < book.count) && book.refusal.empty();
        if (place.state == PlaceState::Empty && place.looks >= LOOKS_BEFORE_TAKING && !claimed(book, port)) {
            if (seen.plainly_no_port)
                leave_alone(book, index, steps);
            else if (room)
                start_unit(book, index, port, steps);
            else
                mark_not_taken(book, index, port, steps);
        }
    }
    for (std::size_t index = 0; index < book.places.size(); ++index) {
        Place& place = book.places[index];
        const bool there = std::any_of(ports.begin(), ports.end(),
                                       [&](const SeenPort& seen) { return seen.identity.path == place.path; });
        if (there)
            continue;
        if (place.state == PlaceState::Ended && place.no_port) {
            place.state = PlaceState::Empty;
        } else if (place.state == PlaceState::Ended) {
            place.state = PlaceState::Empty;
            step(steps, What::Say, index, "taken away");
            if (place.last.phase == PortPhase::Done) {
                place.last.taken_away = true;
                step(steps, What::Update, index, {}, place.last);
            }
        } else if (place.not_taken) {
            place.not_taken = false;
            place.last.taken_away = true;
            step(steps, What::Update, index, {}, place.last);
        }
        place.looks = 0;
    }
    return steps;
}

WatchSteps book_unit_ended(WatchBook& book, std::size_t index, const UnitEnd& end)
{
    WatchSteps steps;
    Place& place = book.places[index];
    place.state = PlaceState::Ended;
    book.image_failed = book.image_failed || end.image_failed;
    if (!end.recorded) {
        // Gone again before it was opened, or no serial port: no unit.
        // Ctrl-C leaves no record either: the unit did not finish.
        --book.started;
        if (end.interrupted) {
            cut_short(book, index, end, steps);
        } else if (end.not_serial) {
            leave_alone(book, index, steps);
        } else if (end.absent) {
            // No unit after all: the line shows its last unit again, or none.
            place.state = PlaceState::Empty;
            if (place.last.phase == PortPhase::Done)
                step(steps, What::Update, index, {}, place.last);
            else
                step(steps, What::Hide, index);
        }
    } else {
        if (end.result == DeviceResult::Completed)
            ++book.completed;
        else
            ++book.failed;
        place.last = end.view;
        place.last.ended_at = end.ended_at;
        step(steps, What::Update, index, {}, place.last);
        // Off a terminal its line said so already; on one the live line
        // has room for the reason and the next step in brief only.
        if (book.terminal && place.last.result != DeviceResult::Completed)
            step(steps, What::Say, index, port_change_text(place.last));
        if (!end.record_error.empty())
            lose_record(book, index, end, steps);
    }
    // A device found again on another port after a loss ended there: that
    // port holds the same unit, not a new one.
    if (end.recorded && !end.ended_on.empty() && end.ended_on != book.places[index].path) {
        PortIdentity moved = book.places[index].identity;
        moved.path = end.ended_on;
        const std::size_t there = place_of(book, moved, steps);
        if (book.places[there].state == PlaceState::Empty) {
            book.places[there].state = PlaceState::Ended;
            book.places[there].identity = book.places[index].identity;
        }
    }
    book.places[index].looks = 0;
    return steps;
}

WatchSteps book_refuse(WatchBook& book, std::size_t index, const std::string& why)
{
    WatchSteps steps;
    Place& place = book.places[index];
    place.state = PlaceState::Empty;
    --book.started;
    book.refusal = why + "; taking no more units";
    step(steps, What::Say, index, book.refusal);
    mark_not_taken(book, index, place.identity, steps);
    return steps;
}

std::uint32_t book_units_ended(const WatchBook& book) { return book.completed + book.failed; }

bool book_finished(const WatchBook& book)
{
    if (book.image_failed || (book.count != 0 && book_units_ended(book) >= book.count))
        return true;
    const bool busy = std::any_of(book.places.begin(), book.places.end(),
                                  [](const Place& place) { return place.state == PlaceState::Busy; });
    return !book.refusal.empty() && !busy;
}

WatchSteps book_close(WatchBook& book)
{
    WatchSteps steps;
    if (book.count == 0 || book_units_ended(book) < book.count)
        return steps;
    for (std::size_t index = 0; index < book.places.size(); ++index) {
        const Place& place = book.places[index];
        if (place.state == PlaceState::Empty && place.looks > 0 && !claimed(book, place.identity) &&
            !place.plainly_no_port)
            mark_not_taken(book, index, place.identity, steps);
    }
    return steps;
}
