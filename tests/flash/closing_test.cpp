// A station's closing lines and exit status from what its units came to, by
// a table.
#include <gtest/gtest.h>

#include "tools/qdm7-flash/station/closing.h"

namespace {

RunEnds ends_of(bool watch)
{
    RunEnds ends;
    ends.watch = watch;
    ends.summary = watch ? "qdm7-flash: 3 units: 2 completed, 1 failed\n" : "port  result\n/v/a  completed\n";
    ends.report_path = "r.jsonl";
    return ends;
}

struct Row {
    const char* name;
    bool watch;
    void (*given)(RunEnds& ends);
    int status;
    const char* after_summary;
};

const Row ROWS[] = {
    {"every device completed", false, [](RunEnds&) {}, 0, ""},
    {"not every device completed", false, [](RunEnds& e) { e.all_completed = false; }, 5,
     "qdm7-flash: not every device was updated\n"},
    {"not every unit completed", true, [](RunEnds& e) { e.all_completed = false; }, 5,
     "qdm7-flash: not every unit was updated\n"},
    {"every device completed, a record lost", false, [](RunEnds& e) { e.records_lost = true; }, 1,
     "qdm7-flash: some records could not be written to r.jsonl\n"},
    {"not all completed and a record lost: the failures decide", false,
     [](RunEnds& e) {
         e.records_lost = true;
         e.all_completed = false;
     },
     5, "qdm7-flash: some records could not be written to r.jsonl\nqdm7-flash: not every device was updated\n"},
    {"Ctrl-C over failures", true,
     [](RunEnds& e) {
         e.interrupted = true;
         e.all_completed = false;
         e.cut = {"1 unit not finished, left unrecorded; update it again:", "    /v/a, cut while contacting"};
     },
     130,
     "qdm7-flash: 1 unit not finished, left unrecorded; update it again:\n    /v/a, cut while contacting\n"
     "qdm7-flash: interrupted; every port closed\n"},
    {"the image that cannot be loaded over Ctrl-C", false,
     [](RunEnds& e) {
         e.interrupted = true;
         e.image_fatal = "\n\nAn Error has occurred as follows:\n          image\n";
     },
     1, "\n\nAn Error has occurred as follows:\n          image\n"},
    {"units refused: fatal, though the rest completed", true,
     [](RunEnds& e) { e.refusal = "cannot write the trace file x; taking no more units"; }, 1,
     "qdm7-flash: cannot write the trace file x; taking no more units\n"},
};

TEST(RunOutcome, ClosingLinesAndStatusFollowWhatTheUnitsCameTo)
{
    for (const Row& row : ROWS) {
        SCOPED_TRACE(row.name);
        RunEnds ends = ends_of(row.watch);
        row.given(ends);
        const Outcome outcome = run_outcome(ends);
        EXPECT_EQ(exit_status(outcome.kind), row.status);
        EXPECT_EQ(outcome.text, ends.summary + row.after_summary);
    }
}

// On a terminal a closing line is broken onto lines indented two more than
// its own indent; a message of the one-line display onto lines of words.
TEST(RunOutcome, OnATerminalTheLinesAreBrokenAtBlanks)
{
    EXPECT_EQ(closing_text("    /v/a, cut at block 40 of 97", 24), "    /v/a, cut at\n      block 40 of 97\n");
    EXPECT_EQ(said_text("deadline of 4 s passed; port closed", 30),
              "qdm7-flash: deadline of 4 s\npassed; port closed\n");
    EXPECT_EQ(said_text("deadline of 4 s passed; port closed", 0), "qdm7-flash: deadline of 4 s passed; port closed\n");
}

} // namespace
