// qdm7-flash --watch in-process on virtual time: units plugged into and
// pulled out of a bench's ports while the watch runs, with what it says,
// its records, its traces and its outcome.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/flash/bench_checks.h"
#include "tools/qdm7-flash/station/watch.h"

namespace {

namespace fs = std::filesystem;

std::vector<PortIdentity> watched(void*) { return bench_ports(); }

struct Watching : BenchTest {
    BenchRun run(std::uint32_t count)
    {
        WatchSetup setup;
        setup.update = update;
        setup.ports = watched;
        setup.watched = "the bench";
        setup.count = count;
        return bench_run([&] { return run_watch(setup); });
    }
    std::vector<std::string> records() const { return lines_of(read_text(update.report_path)); }
};

bool has_line(const std::string& text, const std::string& pattern)
{
    return std::regex_search(text, std::regex("(^|\n)" + pattern + "(\n|$)"));
}

// A good unit that goes once updated, one that fails and stays until it is
// taken away (not updated again meanwhile), then a new unit on its port and
// one beyond the count: each recorded once with the run's id and the
// image's facts, the one beyond not taken and said so, exit 5.
TEST_F(Watching, UnitsComeAndGoEachRecordedOnce)
{
    report_to(scratch.path("report.jsonl"));
    update.log_dir = scratch.path("logs");
    fs::create_directories(update.log_dir);
    VirtualUnit& first = bench_unit();
    VirtualUnit& failing = bench_unit();
    device_add_fault(failing.link.device, fault(FaultKind::FlipFlashBit, 1, 1));
    VirtualUnit& swapped = bench_unit();
    VirtualUnit& beyond = bench_unit();
    bench_plug("/v/unit-1", first);
    bench_plug("/v/unit-2", failing);
    bench_at(20000, [] { bench_pull("/v/unit-1"); });
    std::size_t records_at_21s = 0;
    bench_at(21000, [&] { records_at_21s = records().size(); });
    bench_at(22000, [] { bench_pull("/v/unit-2"); });
    // The one beyond the count comes with the third: in the same look.
    bench_at(22500, [&] {
        bench_plug("/v/unit-2", swapped);
        bench_plug("/v/unit-3", beyond);
    });
    const BenchRun run = this->run(3);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::NotAllUpdated) << run.err;
    EXPECT_NE(run.outcome.text.find("qdm7-flash: 3 units: 2 completed, 1 failed"), std::string::npos)
        << run.outcome.text;
    EXPECT_TRUE(run.outcome.text.ends_with("qdm7-flash: not every unit was updated\n")) << run.outcome.text;
    EXPECT_EQ(records_at_21s, 2u);
    EXPECT_EQ(failing.link.device.stats.blocks_programmed, static_cast<std::uint32_t>(image_blocks()))
        << "the failed unit was updated again";
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-3: not taken: count reached")) << run.err;
    EXPECT_EQ(beyond.link.device.stats.queries, 0u);
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-2: failed after .*; to try again, unplug it and "
                                  "plug it back in"))
        << run.err;
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-2: a unit came")) << run.err;
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-1: taken away")) << run.err;
    const std::vector<std::string> records = this->records();
    ASSERT_EQ(records.size(), 3u);
    const std::regex id("\"run_id\": \"([0-9TZ]+-[0-9a-f]{4})\"");
    std::smatch first_id;
    ASSERT_TRUE(std::regex_search(records[0], first_id, id)) << records[0];
    std::vector<std::string> got;
    for (const std::string& record : records) {
        const std::smatch port_result = [&] {
            std::smatch match;
            std::regex_search(record, match, std::regex("^\\{\"port\": \"([^\"]+)\", \"result\": \"([a-z]+)\""));
            return match;
        }();
        got.push_back(port_result[1].str() + " " + port_result[2].str());
        EXPECT_NE(record.find("\"run_id\": \"" + first_id[1].str() + "\""), std::string::npos) << record;
        EXPECT_NE(record.find("\"image_sha256\": \""), std::string::npos) << record;
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"/v/unit-1 completed", "/v/unit-2 completed", "/v/unit-2 failed"}));
    EXPECT_TRUE(holds_image(first) && holds_image(swapped));
    EXPECT_EQ(std::distance(fs::directory_iterator(update.log_dir), fs::directory_iterator{}), 3);
    EXPECT_TRUE(virtual_link().trace_text.empty()) << "the watch wrote a trace on standard output";
}

// Ctrl-C while one paced unit is programming and another's port is lost
// (told to plug it back in): every port closed at once, no record of
// either, both named to be updated again.
TEST_F(Watching, CtrlCAmidUnitsNamesEachToBeUpdatedAgain)
{
    report_to(scratch.path("report.jsonl"));
    bench_plug("/v/unit-1", bench_unit({}, 921600));
    bench_plug("/v/unit-2", bench_unit({}, 921600));
    bench_at(5000, [] { bench_pull("/v/unit-2"); });
    bench_at(6000, bench_interrupt);
    const BenchRun run = this->run(0);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Interrupted) << run.err;
    EXPECT_LT(run.took_ms, 6300u);
    EXPECT_NE(run.err.find("to come back: plug it back in (Ctrl-C would end the whole watch, cutting every unit "
                           "short)"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(std::regex_search(run.outcome.text,
                                  std::regex("\nqdm7-flash: 2 units not finished, left unrecorded; update them "
                                             "again:\n    /v/unit-1, cut at block \\d+ of \\d+\n    /v/unit-2, cut "
                                             "while its port was lost\nqdm7-flash: interrupted; every port closed\n$")))
        << run.outcome.text;
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(bench_open_ports(), 0u);
}

// Ctrl-C while a unit is contacting a device that never answers, and while
// no unit is there at all.
TEST_F(Watching, CtrlCWhileContactingOrIdle)
{
    VirtualUnit& off = bench_unit();
    off.power_on_after = UINT32_MAX;
    bench_plug("/v/unit-1", off);
    bench_at(3000, bench_interrupt);
    BenchRun run = this->run(0);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Interrupted) << run.err;
    EXPECT_NE(run.outcome.text.find("1 unit not finished, left unrecorded; update it again:\n    /v/unit-1, cut "
                                    "while contacting\n"),
              std::string::npos)
        << run.outcome.text;
    bench_reset();
    bench_at(1000, bench_interrupt);
    run = this->run(0);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Interrupted) << run.err;
    EXPECT_EQ(run.outcome.text.find("not finished"), std::string::npos) << run.outcome.text;
    EXPECT_TRUE(run.outcome.text.ends_with("qdm7-flash: interrupted; every port closed\n")) << run.outcome.text;
    EXPECT_LT(run.took_ms, 1300u);
}

// A unit pulled out in the middle of its update and plugged back two
// seconds later on another port: its run finds it there by its serial
// number and completes, and that port is not taken for a new unit; then a
// second unit in its place, updated too.
TEST_F(Watching, AUnitBackOnAnotherPortAfterALossIsStillOneUnit)
{
    report_to(scratch.path("report.jsonl"));
    VirtualUnit& first = bench_unit("QDM7-0001", 921600);
    VirtualUnit& second = bench_unit("QDM7-0002");
    bench_plug("/v/ttyUSB0", first);
    bench_at(3000, [] { bench_pull("/v/ttyUSB0"); });
    bench_at(5000, [&] { bench_plug("/v/ttyUSB1", first); });
    bench_at(40000, [] { bench_pull("/v/ttyUSB1"); });
    bench_at(40500, [&] { bench_plug("/v/ttyUSB0", second); });
    const BenchRun run = this->run(2);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Completed) << run.err;
    EXPECT_NE(run.outcome.text.find("qdm7-flash: 2 units: 2 completed, 0 failed"), std::string::npos)
        << run.outcome.text;
    EXPECT_NE(run.err.find("the port is back as /v/ttyUSB1; resuming the update after the"), std::string::npos)
        << run.err;
    EXPECT_GT(run.took_ms, 40000u);
    EXPECT_EQ(first.link.device.stats.resets, 1u) << "the unit back on another port was updated again";
    EXPECT_TRUE(holds_image(first) && holds_image(second));
    const std::vector<std::string> records = this->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].find("\"usb_serial\": \"QDM7-0001\", \"result\": \"completed\""), std::string::npos)
        << records[0];
    EXPECT_NE(records[1].find("\"usb_serial\": \"QDM7-0002\", \"result\": \"completed\""), std::string::npos)
        << records[1];
}

// Each unit has its own deadline; one that already holds the image is
// left as it is with --skip-if-current.
TEST_F(Watching, TheDeadlineEndsAUnitAndACurrentOneIsNotWritten)
{
    update.deadline_ms = 5000;
    update.skip_if_current = true;
    VirtualUnit& silent = bench_unit();
    silent.power_on_after = UINT32_MAX;
    VirtualUnit& current = bench_unit();
    give_image(current);
    bench_plug("/v/unit-1", silent);
    bench_plug("/v/unit-2", current);
    const BenchRun run = this->run(2);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::NotAllUpdated) << run.err;
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-1: deadline after 5\\.\\d s: deadline of 5 s passed "
                                  "before the device answered; to try again, unplug it and plug it back in"))
        << run.err;
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-2: completed in [\\d.]+ s: nothing written \\(the "
                                  "device already held this image; reset into it\\)"))
        << run.err;
    EXPECT_EQ(current.link.device.stats.blocks_programmed, 0u);
    EXPECT_LT(run.took_ms, 6000u);
}

// A file among the watched ports, and a device that is no serial port:
// said once each, never taken for a unit, not counted.
TEST_F(Watching, PathsThatAreNoSerialPortAreLeftAlone)
{
    bench_file("/v/notes.txt");
    bench_no_serial_port("/v/null");
    VirtualUnit& unit = bench_unit();
    bench_at(1000, [&] { bench_plug("/v/unit-1", unit); });
    const BenchRun run = this->run(1);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Completed) << run.err;
    EXPECT_EQ(count_of(run.err, "/v/notes.txt: not a serial port; left alone\n"), 1) << run.err;
    EXPECT_EQ(count_of(run.err, "/v/null: not a serial port; left alone\n"), 1) << run.err;
    EXPECT_NE(run.outcome.text.find("qdm7-flash: 1 unit: 1 completed, 0 failed"), std::string::npos)
        << run.outcome.text;
    EXPECT_TRUE(holds_image(unit));
}

// A unit whose trace cannot be written is not updated, and none after it
// is taken: the watch ends, exit 1, once no unit is being updated (here at
// once; a unit being updated is waited for, watch_book_test.cpp).
TEST_F(Watching, ATraceThatCannotBeWrittenTakesNoMoreUnits)
{
    report_to(scratch.path("report.jsonl"));
    update.log_dir = scratch.path("not-a-folder");
    std::ofstream(update.log_dir) << "x";
    VirtualUnit& refused = bench_unit();
    VirtualUnit& later = bench_unit();
    bench_plug("/v/unit-1", refused);
    bench_plug("/v/unit-2", later);
    const BenchRun run = this->run(0);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Fatal) << run.err;
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-1: cannot write the trace file .*; taking no more "
                                  "units"))
        << run.err;
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-2: not taken: units refused")) << run.err;
    EXPECT_EQ(refused.link.device.stats.queries + later.link.device.stats.queries, 0u);
    EXPECT_TRUE(records().empty());
    EXPECT_NE(run.outcome.text.find("qdm7-flash: 0 units: 0 completed, 0 failed"), std::string::npos)
        << run.outcome.text;
    EXPECT_TRUE(run.outcome.text.ends_with("taking no more units\n")) << run.outcome.text;
}

// A record that cannot be written (the report's disk full): said at once
// with the unit and its result, no unit taken after it, the unit being
// updated then finished and said, exit 1 with the lost record named.
TEST_F(Watching, ARecordThatCannotBeWrittenTakesNoMoreUnits)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full to stand for a full disk";
    report_to("/dev/full");
    VirtualUnit& quick = bench_unit();
    VirtualUnit& paced = bench_unit({}, 921600);
    VirtualUnit& later = bench_unit();
    bench_plug("/v/unit-1", quick);
    bench_plug("/v/unit-2", paced);
    bench_at(5000, [&] { bench_plug("/v/unit-3", later); });
    bench_at(120000, bench_interrupt); // a watch that went on taking units
    const BenchRun run = this->run(0);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Fatal) << run.err;
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-1: its record \\(completed\\) could not be "
                                  "written to /dev/full: .*; taking no more units"))
        << run.err;
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-3: not taken: units refused")) << run.err;
    EXPECT_TRUE(has_line(run.err, "\\d\\d:\\d\\d:\\d\\d /v/unit-2: its record \\(completed\\) could not be "
                                  "written to /dev/full: No space left on device"))
        << run.err;
    EXPECT_LT(run.err.find("/v/unit-1: its record"), run.err.find("/v/unit-2: completed in")) << run.err;
    EXPECT_EQ(later.link.device.stats.queries, 0u);
    EXPECT_TRUE(holds_image(quick) && holds_image(paced));
    EXPECT_TRUE(run.outcome.text.ends_with("qdm7-flash: the record of /v/unit-1 (completed) could not be written to "
                                           "/dev/full: No space left on device; taking no more units\n"))
        << run.outcome.text;
}

// A trace folder that fills: said once, and the units are still updated
// and recorded.
TEST_F(Watching, AFullTraceFolderIsSaidOnceAndUnitsGoOn)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full to stand for a full disk";
    report_to(scratch.path("report.jsonl"));
    update.log_dir = scratch.path("logs");
    fs::create_directories(update.log_dir);
    bench_full_folder(update.log_dir);
    bench_plug("/v/unit-1", bench_unit());
    bench_plug("/v/unit-2", bench_unit());
    VirtualUnit& later = bench_unit();
    bench_at(20000, [&] { bench_plug("/v/unit-3", later); });
    const BenchRun run = this->run(3);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Completed) << run.err;
    EXPECT_EQ(count_of(run.err, ": its trace could not be written in " + update.log_dir +
                                    ": No space left on device; no more traces are written (the updates and their "
                                    "records go on)\n"),
              1)
        << run.err;
    EXPECT_EQ(records().size(), 3u);
    EXPECT_TRUE(holds_image(later));
}

} // namespace
