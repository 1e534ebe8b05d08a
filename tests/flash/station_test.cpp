// qdm7-flash's station in-process on virtual time (tests/support/
// virtual_station.h): one port, several at once and --verify, each against
// virtual units, with what it says, its records, its traces and its
// outcome. What needs the operating system (pseudo-terminals, signals, the
// USB driver) stays with the process-level tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "tests/flash/bench_checks.h"
#include "tools/qdm7-flash/station/station.h"

namespace {

namespace fs = std::filesystem;

struct Station : BenchTest {
    BenchRun run(const std::vector<std::string>& ports)
    {
        return bench_run([&] { return run_station(StationSetup{update, ports}); });
    }
};

// The lone port's trace goes to standard output, as the dialog's; here the
// virtual platform's.
TEST_F(Station, OnePortIsUpdatedWithTheTraceAndTheStatusTexts)
{
    VirtualUnit& unit = bench_unit();
    bench_plug("/v/qdm7", unit);
    const BenchRun run = this->run({"/v/qdm7"});
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Completed) << run.err;
    EXPECT_EQ(run.outcome.text, "Programming Completed\n");
    EXPECT_TRUE(holds_image(unit));
    const std::string& trace = virtual_link().trace_text;
    EXPECT_NE(trace.find(" . Opening serial port /v/qdm7 at 921600 baud\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("CRCs match\n"), std::string::npos) << trace;
    EXPECT_NE(run.err.find("Contacting Device...\nEstablishing Link...\nprogramming 0x8008000\n"), std::string::npos)
        << run.err;
}

// A device that answers only two seconds after the first contact query:
// the wait is said once, the query repeated until then.
TEST_F(Station, ADeviceSwitchedOnLateIsWaitedForAndToldOnce)
{
    VirtualUnit& unit = bench_unit();
    unit.power_on_after = 2000;
    bench_plug("/v/qdm7", unit);
    const BenchRun run = this->run({"/v/qdm7"});
    ASSERT_EQ(run.outcome.kind, OutcomeKind::Completed) << run.err;
    EXPECT_EQ(count_of(run.err, "qdm7-flash: waiting for the device to power on: switch it off and on now\n"), 1)
        << run.err;
    const std::string& trace = virtual_link().trace_text;
    EXPECT_GE(count_of(trace.substr(0, trace.find("REMOTE DEVICE LINK ESTABLISHED")), "CONTACTING...\n"), 8);
    EXPECT_TRUE(holds_image(unit));
}

// A bit that flips in flash: the CRCs differ, FAILED, no reset, exit 2.
TEST_F(Station, AFlippedBitFailsTheVerificationAndTheDeviceIsNotReset)
{
    VirtualUnit& unit = bench_unit();
    device_add_fault(unit.link.device, fault(FaultKind::FlipFlashBit, 1, 1));
    bench_plug("/v/qdm7", unit);
    const BenchRun run = this->run({"/v/qdm7"});
    EXPECT_EQ(run.outcome.kind, OutcomeKind::VerifyFailed) << run.err;
    EXPECT_EQ(exit_status(run.outcome.kind), 2);
    const std::string& trace = virtual_link().trace_text;
    EXPECT_NE(trace.find("\nCRC FAIL\n"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("Resetting target"), std::string::npos) << trace;
    EXPECT_NE(run.err.find("FAILED"), std::string::npos) << run.err;
    EXPECT_EQ(unit.link.device.stats.resets, 0u);
}

// The second block's acknowledgement is lost: it is resent after the job's
// 10 s, said on standard error once, and the update completes.
TEST_F(Station, ALostAcknowledgementIsResentAfterTenSeconds)
{
    VirtualUnit& unit = bench_unit();
    device_add_fault(unit.link.device, fault(FaultKind::Drop, 2, 1));
    bench_plug("/v/qdm7", unit);
    const BenchRun run = this->run({"/v/qdm7"});
    ASSERT_EQ(run.outcome.kind, OutcomeKind::Completed) << run.err;
    EXPECT_EQ(count_of(run.err, "qdm7-flash: no reply to block 2/" + std::to_string(image_blocks()) +
                                    " within 10 s; resending it (resend 1)\n"),
              1)
        << run.err;
    const std::vector<std::string> trace = lines_of(virtual_link().trace_text);
    const auto lost = std::find_if(trace.begin(), trace.end(),
                                   [](const std::string& line) { return line.ends_with("- SENT - TIMEOUT"); });
    ASSERT_NE(lost, trace.end());
    EXPECT_EQ(lost->substr(0, lost->find(" - SENT")), (lost + 1)->substr(0, (lost + 1)->find(" - SENT")));
    EXPECT_TRUE((lost + 1)->ends_with("- SENT - - OK")) << *(lost + 1);
    EXPECT_GE(run.took_ms, 10000u);
    EXPECT_TRUE(holds_image(unit));
}

// The port cannot be opened: the fatal text after a line naming the port,
// exit 1, as the process-level tests check on a real one; a held port's
// holder is named first.
TEST_F(Station, APortThatCannotBeOpenedEndsWithTheFatalText)
{
    bench_hold("/v/held", "minicom (pid 812)");
    bench_plug("/v/held", bench_unit());
    BenchRun run = this->run({"/v/held"});
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Fatal);
    EXPECT_NE(run.outcome.number, 0u);
    EXPECT_EQ(run.outcome.text.rfind("qdm7-flash: /v/held is in use by minicom (pid 812); close it, or choose "
                                     "another port\nqdm7-flash: port /v/held:\n\nAn Error has occurred as follows:\n"
                                     "          Unable to open serial port. In use already, or not present\n"
                                     "Error number ",
                                     0),
              0u)
        << run.outcome.text;
    EXPECT_TRUE(run.outcome.text.ends_with("\n\n The program will now abort\n\n\n")) << run.outcome.text;
    bench_no_serial_port("/v/null");
    run = this->run({"/v/null"});
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Fatal);
    EXPECT_EQ(run.outcome.text, "qdm7-flash: /v/null is not a serial port; left untouched\n");
}

// The device pulled out in the middle of programming and never plugged
// back: the deadline ends the wait, as Ctrl-C does, naming the lost port;
// with --no-reconnect the loss itself ends the run (exit 4).
TEST_F(Station, ALostPortNotBackEndsAtTheDeadlineOrCtrlC)
{
    const auto pulled_run = [&](std::uint32_t deadline_ms, bool interrupt, bool reconnect) {
        bench_reset();
        bench_plug("/v/ttyUSB0", bench_unit("QDM7-0001", 921600));
        bench_at(3000, [] { bench_pull("/v/ttyUSB0"); });
        if (interrupt)
            bench_at(5000, bench_interrupt);
        update.deadline_ms = deadline_ms;
        update.reconnect = reconnect;
        return run({"/v/ttyUSB0"});
    };
    BenchRun run = pulled_run(10000, false, true);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Deadline) << run.err;
    EXPECT_NE(run.err.find("qdm7-flash: lost the port /v/ttyUSB0 (the device went away); waiting for the device "
                           "with USB serial number QDM7-0001 to come back; Ctrl-C gives up\n"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.outcome.text, "qdm7-flash: deadline of 10 s passed while waiting for the lost port /v/ttyUSB0 to "
                                "come back\n");
    EXPECT_LT(run.took_ms, 10300u);
    run = pulled_run(0, true, true);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Interrupted) << run.err;
    EXPECT_EQ(run.outcome.text, "qdm7-flash: interrupted while waiting for the lost port /v/ttyUSB0 to come back\n");
    run = pulled_run(0, false, false);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::PortLost) << run.err;
    EXPECT_EQ(run.outcome.text, "qdm7-flash: lost the port /v/ttyUSB0: the device is gone (unplugged, or its cable "
                                "pulled); port closed\n");
    EXPECT_LT(run.took_ms, 3300u);
}

// --skip-if-current: a device that holds the image is reset into it with
// nothing written; one with a byte changed in block 41 is updated from
// there on. Contact is said once; the record counts the blocks written.
TEST_F(Station, SkipIfCurrentWritesOnlyFromTheFirstBlockThatDiffers)
{
    update.skip_if_current = true;
    for (const bool holds : {true, false}) {
        SCOPED_TRACE(holds ? "holds" : "changed");
        bench_reset();
        VirtualUnit& unit = bench_unit();
        give_image(unit);
        if (!holds)
            unit.link.device.flash[40 * BLOCK_SIZE + 123] ^= 0x01;
        bench_plug("/v/qdm7", unit);
        const std::string report_path = scratch.path(holds ? "holds.jsonl" : "changed.jsonl");
        report_to(report_path);
        const BenchRun run = this->run({"/v/qdm7"});
        ASSERT_EQ(run.outcome.kind, OutcomeKind::Completed) << run.err;
        const std::uint32_t written = unit.link.device.stats.blocks_programmed;
        EXPECT_EQ(count_of(run.err, "Contacting Device..."), 1) << run.err;
        EXPECT_NE(read_text(report_path).find("\"blocks\": " + std::to_string(written) + ","), std::string::npos)
            << read_text(report_path);
        if (holds) {
            EXPECT_EQ(run.outcome.text, "qdm7-flash: the device already holds this image: nothing written; reset "
                                        "into it\n");
            EXPECT_EQ(written, 0u);
            EXPECT_EQ(unit.link.device.stats.resets, 1u);
        } else {
            EXPECT_NE(run.err.find("qdm7-flash: 1 of " + std::to_string(image_blocks()) +
                                   " blocks differ; updating from block 41\n"),
                      std::string::npos)
                << run.err;
            EXPECT_EQ(written, static_cast<std::uint32_t>(image_blocks() - 40));
        }
        EXPECT_TRUE(holds_image(unit));
    }
}

// --verify writes nothing: an erased device differs in every block, one
// whose flash has a flipped bit in that block alone, one that holds the
// image is said to and is reset into it.
TEST_F(Station, VerifyNamesTheBlocksThatDifferAndWritesNothing)
{
    const std::int32_t blocks = image_blocks();
    VirtualUnit& unit = bench_unit();
    bench_plug("/v/qdm7", unit);
    const auto verify = [&] { return bench_run([] { return run_verify(bench_host(), "/v/qdm7", 0); }); };
    BenchRun run = verify();
    EXPECT_EQ(run.outcome.kind, OutcomeKind::VerifyFailed);
    EXPECT_NE(run.outcome.text.find(std::to_string(blocks) + " of " + std::to_string(blocks) + " blocks differ (1-" +
                                    std::to_string(blocks) + "); left in its loader, nothing written"),
              std::string::npos)
        << run.outcome.text;
    give_image(unit);
    device_flip_flash_bit(unit.link.device, 7 * BLOCK_SIZE + 5, 3);
    run = verify();
    EXPECT_EQ(run.outcome.kind, OutcomeKind::VerifyFailed);
    EXPECT_NE(run.outcome.text.find("1 of " + std::to_string(blocks) + " blocks differ (8); left in its loader"),
              std::string::npos)
        << run.outcome.text;
    device_flip_flash_bit(unit.link.device, 7 * BLOCK_SIZE + 5, 3);
    run = verify();
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Completed);
    EXPECT_EQ(run.outcome.text, "qdm7-flash: the device holds this image (" + std::to_string(blocks) + " blocks, " +
                                    std::to_string(2 * blocks + 1) + " CRC queries); reset into it\n");
    EXPECT_EQ(unit.link.device.stats.blocks_programmed, 0u);
    EXPECT_EQ(unit.link.device.stats.resets, 1u);
}

// --- Several ports at once -------------------------------------------------------------------

// Paced devices at once: two good, one whose flash flips a bit, one never
// powered on: each ends on its own, the good ones with the image in flash,
// a record and a trace file each, a summary row each, exit 5.
TEST_F(Station, SeveralDevicesEachEndOnTheirOwn)
{
    report_to(scratch.path("report.jsonl"));
    update.log_dir = scratch.path("logs");
    fs::create_directories(update.log_dir);
    update.deadline_ms = 60000;
    VirtualUnit& good1 = bench_unit({}, 921600);
    VirtualUnit& good2 = bench_unit({}, 921600);
    VirtualUnit& flipped = bench_unit({}, 921600);
    device_add_fault(flipped.link.device, fault(FaultKind::FlipFlashBit, 1, 1));
    VirtualUnit& silent = bench_unit({}, 921600);
    silent.power_on_after = UINT32_MAX;
    const std::vector<std::string> ports = {"/v/good1", "/v/good2", "/v/flipped", "/v/silent"};
    for (std::size_t i = 0; i < ports.size(); ++i)
        bench_plug(ports[i], *std::vector<VirtualUnit*>{&good1, &good2, &flipped, &silent}[i]);
    const BenchRun run = this->run(ports);
    EXPECT_EQ(run.outcome.kind, OutcomeKind::NotAllUpdated) << run.err;
    EXPECT_TRUE(virtual_link().trace_text.empty()) << "with several ports nothing belongs on standard output";
    const char* expected[] = {"completed", "completed", "failed", "deadline"};
    const std::string report = read_text(scratch.path("report.jsonl"));
    ASSERT_EQ(lines_of(report).size(), 4u) << report;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_TRUE(std::regex_search(run.outcome.text, std::regex("(^|\n)" + ports[i] + " +" + expected[i] +
                                                                   " +[0-9.]+\n")))
            << run.outcome.text;
        const std::string record = "{\"port\": \"" + ports[i] + "\", \"result\": \"" + expected[i] + "\"";
        EXPECT_NE(report.find(record), std::string::npos) << report;
    }
    EXPECT_TRUE(run.outcome.text.ends_with("qdm7-flash: not every device was updated\n")) << run.outcome.text;
    EXPECT_TRUE(holds_image(good1) && holds_image(good2));
    EXPECT_EQ(flipped.link.device.stats.blocks_programmed, static_cast<std::uint32_t>(image_blocks()));
    EXPECT_NE(report.find("deadline of 60 s passed before the device answered"), std::string::npos) << report;
    EXPECT_EQ(silent.link.device.stats.blocks_programmed, 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(update.log_dir), fs::directory_iterator{}), 4);
    // About one paced update's time, not four.
    EXPECT_LT(run.took_ms, 61000u);
}

// A port that cannot be opened among good ones: recorded as an error with
// the system's reason; the others complete.
TEST_F(Station, APortThatCannotBeOpenedAmongOthersIsRecordedAsAnError)
{
    report_to(scratch.path("report.jsonl"));
    VirtualUnit& a = bench_unit();
    VirtualUnit& b = bench_unit();
    bench_plug("/v/a", a);
    bench_plug("/v/b", b);
    const BenchRun run = this->run({"/v/a", "/v/no-such-port", "/v/b"});
    EXPECT_EQ(run.outcome.kind, OutcomeKind::NotAllUpdated) << run.err;
    const std::string report = read_text(scratch.path("report.jsonl"));
    EXPECT_NE(report.find("{\"port\": \"/v/no-such-port\", \"result\": \"error\", \"error\": \"No such file or "
                          "directory\""),
              std::string::npos)
        << report;
    EXPECT_EQ(count_of(report, "\"result\": \"completed\""), 2) << report;
    EXPECT_TRUE(holds_image(a) && holds_image(b));
}

// Ctrl-C while paced devices are programming and one has finished: every
// port closed, only the finished one's record, exit 130.
TEST_F(Station, CtrlCAmidSeveralLeavesOnlyTheFinishedOnesRecord)
{
    report_to(scratch.path("report.jsonl"));
    bench_plug("/v/quick", bench_unit());
    bench_plug("/v/slow1", bench_unit({}, 921600));
    bench_plug("/v/slow2", bench_unit({}, 921600));
    bench_at(6000, bench_interrupt);
    const BenchRun run = this->run({"/v/quick", "/v/slow1", "/v/slow2"});
    EXPECT_EQ(run.outcome.kind, OutcomeKind::Interrupted) << run.err;
    EXPECT_TRUE(run.outcome.text.ends_with("qdm7-flash: interrupted; every port closed\n")) << run.outcome.text;
    EXPECT_LT(run.took_ms, 6200u);
    EXPECT_EQ(bench_open_ports(), 0u);
    const std::vector<std::string> records = lines_of(read_text(scratch.path("report.jsonl")));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].find("\"port\": \"/v/quick\""), std::string::npos) << records[0];
}

// A trace that cannot be written is refused the same way in every mode,
// before any port is touched.
TEST_F(Station, ATraceFileThatCannotBeWrittenRefusesTheRun)
{
    std::ofstream(scratch.path("not-a-folder")) << "x";
    update.log_dir = scratch.path("not-a-folder");
    VirtualUnit& unit = bench_unit();
    bench_plug("/v/a", unit);
    bench_plug("/v/b", bench_unit());
    for (const std::vector<std::string>& ports : {std::vector<std::string>{"/v/a"}, {"/v/a", "/v/b"}}) {
        const BenchRun run = this->run(ports);
        EXPECT_EQ(run.outcome.kind, OutcomeKind::Fatal);
        EXPECT_EQ(run.outcome.text.rfind("qdm7-flash: cannot write the trace file " + update.log_dir, 0), 0u)
            << run.outcome.text;
        EXPECT_EQ(unit.link.device.stats.queries, 0u);
    }
}

} // namespace
