// The watch's bookkeeping by tables: what a run of looks at the ports and
// ends of units makes it start and say, with no thread, port or screen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qdm7-flash/station/watch_book.h"

namespace {

// One thing that happens to the book: a look that finds ports ("a b"; a
// name ending in '!' is a file, one with "=S" a USB port with serial S), a
// unit's end, a refusal, or the watch's close.
struct Event {
    enum class Kind { Look, End, Refuse, Close } kind;
    std::string ports;
    UnitEnd end;
    std::size_t place = 0;
};

Event look(std::string ports) { return {Event::Kind::Look, std::move(ports), {}, 0}; }
Event ended(std::size_t place, UnitEnd end) { return {Event::Kind::End, {}, std::move(end), place}; }
Event refuse(std::size_t place) { return {Event::Kind::Refuse, {}, {}, place}; }
Event close() { return {Event::Kind::Close, {}, {}, 0}; }

UnitEnd recorded(DeviceResult result, std::string ended_on = {})
{
    UnitEnd end;
    end.recorded = true;
    end.result = result;
    end.view.phase = PortPhase::Done;
    end.view.result = result;
    end.ended_on = std::move(ended_on);
    return end;
}

UnitEnd unrecorded(bool interrupted, bool not_serial, bool absent)
{
    UnitEnd end;
    end.interrupted = interrupted;
    end.not_serial = not_serial;
    end.absent = absent;
    end.view.phase = PortPhase::Programming;
    end.view.blocks_done = 40;
    end.view.blocks_total = 97;
    return end;
}

std::vector<SeenPort> ports_of(const std::string& text)
{
    std::vector<SeenPort> ports;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        std::string name = text.substr(at, end - at);
        at = end + 1;
        SeenPort seen;
        if (name.ends_with("!")) {
            name.pop_back();
            seen.plainly_no_port = true;
        }
        const std::size_t serial = name.find('=');
        if (serial != std::string::npos) {
            seen.identity.kind = PortKind::Usb;
            seen.identity.usb_vid = 0x0403;
            seen.identity.usb_pid = 0x6001;
            seen.identity.serial = name.substr(serial + 1);
            name.erase(serial);
        }
        seen.identity.path = name;
        ports.push_back(seen);
    }
    return ports;
}

// The steps that matter to the operator, one a line: what is started, what
// is said, and a line's end state.
std::string told(const WatchBook& book, const WatchSteps& steps)
{
    std::string text;
    for (const WatchStep& step : steps) {
        const std::string& place = book.places[step.place].path;
        switch (step.what) {
        case WatchStep::What::Start: text += "start " + place + "\n"; break;
        case WatchStep::What::Say: text += place + ": " + step.text + "\n"; break;
        case WatchStep::What::Update:
            if (step.view.phase == PortPhase::NotTaken || step.view.phase == PortPhase::Cut || step.view.taken_away)
                text += place + " shows " + port_change_text(step.view) + (step.view.taken_away ? ", gone" : "") +
                        "\n";
            break;
        default: break;
        }
    }
    return text;
}

struct Case {
    const char* name;
    std::uint32_t count;
    std::vector<Event> events;
    const char* expected;
    bool finished;
};

const Case CASES[] = {
    {"a port is taken at its second look in a row, not its first", 0,
     {look("a"), look(""), look("a"), look("a")},
     "a: a unit came\nstart a\n", false},
    {"a unit ended is left alone until its port has gone and come back", 0,
     {look("a"), look("a"), ended(0, recorded(DeviceResult::Failed)), look("a"), look("a"), look(""), look("a"),
      look("a")},
     "a: a unit came\nstart a\na: taken away\na shows failed after 0.0 s, gone\na: a unit came\nstart a\n", false},
    {"a file is said once and never taken", 0,
     {look("notes!"), look("notes!"), look("notes!"), look("notes!")},
     "notes: not a serial port; left alone\n", false},
    {"no more units at once than the count still lets come", 1,
     {look("a b"), look("a b"), look("a b")},
     "a: a unit came\nstart a\nb shows not taken: count reached\n", false},
    {"the count reached: every unit seen there is said not taken", 1,
     {look("a"), look("a"), ended(0, recorded(DeviceResult::Completed)), look("b"), close()},
     "a: a unit came\nstart a\na: taken away\na shows completed in 0.0 s, gone\nb shows not taken: count reached\n",
     true},
    {"a lost device back on another port is its run's, and ends there as the same unit", 0,
     {look("a=S"), look("a=S"), look(""), look("b=S"), look("b=S"),
      ended(0, recorded(DeviceResult::Completed, "b")), look("b=S"), look("b=S"), look("")},
     "a: a unit came, USB serial number S\nstart a\na: taken away\na shows completed in 0.0 s, gone\nb: taken away\n",
     false},
    {"a port that proves no serial port at its open is left alone, uncounted", 0,
     {look("a"), look("a"), ended(0, unrecorded(false, true, false)), look("a"), look("a")},
     "a: a unit came\nstart a\na: not a serial port; left alone\n", false},
    {"a port gone again before its open was no unit: the next one there is taken", 0,
     {look("a"), look("a"), ended(0, unrecorded(false, false, true)), look("a"), look("a")},
     "a: a unit came\nstart a\na: a unit came\nstart a\n", false},
    {"Ctrl-C cuts a unit short: its line says where", 0,
     {look("a"), look("a"), ended(0, unrecorded(true, false, false))},
     "a: a unit came\nstart a\na shows cut short at block 41 of 97; not recorded: update it again\n", false},
    {"a refused unit: none taken after it, and the watch ends once none is updated", 0,
     {look("a b"), look("a b"), refuse(1), look("a b c"), look("a b c"), ended(0, recorded(DeviceResult::Completed))},
     "a: a unit came\nstart a\nb: a unit came\nstart b\nb: cannot write the trace file x; taking no more units\n"
     "b shows not taken: units refused\n"
     "c shows not taken: units refused\n",
     true},
};

TEST(WatchBook, StartsAndSaysAsTheLooksAndEndsCall)
{
    for (const Case& test : CASES) {
        SCOPED_TRACE(test.name);
        WatchBook book;
        book.count = test.count;
        std::string text;
        for (const Event& event : test.events) {
            switch (event.kind) {
            case Event::Kind::Look: text += told(book, book_look(book, ports_of(event.ports))); break;
            case Event::Kind::End: text += told(book, book_unit_ended(book, event.place, event.end)); break;
            case Event::Kind::Refuse:
                text += told(book, book_refuse(book, event.place, "cannot write the trace file x"));
                break;
            case Event::Kind::Close: text += told(book, book_close(book)); break;
            }
        }
        EXPECT_EQ(text, test.expected);
        EXPECT_EQ(book_finished(book), test.finished);
    }
}

// What the closing lines count: units recorded, and those cut short named.
TEST(WatchBook, CountsTheUnitsThatEndedAndKeepsThoseCutShort)
{
    WatchBook book;
    book_look(book, ports_of("a b=S c"));
    book_look(book, ports_of("a b=S c"));
    book_unit_ended(book, 0, recorded(DeviceResult::Completed));
    UnitEnd lost = recorded(DeviceResult::Lost);
    lost.record_error = "No space left on device";
    book_unit_ended(book, 2, lost);
    book_unit_ended(book, 1, unrecorded(true, false, false));
    EXPECT_EQ(book.completed, 1u);
    EXPECT_EQ(book.failed, 1u);
    EXPECT_EQ(book.started, 2u);
    EXPECT_TRUE(book.records_lost);
    ASSERT_EQ(book.cut.size(), 1u);
    EXPECT_EQ(book.cut[0].port, "b");
    EXPECT_EQ(book.cut[0].serial, "S");
    EXPECT_EQ(book.cut[0].where, "at block 41 of 97");
}

} // namespace
