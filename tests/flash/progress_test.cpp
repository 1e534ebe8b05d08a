// The progress line of qdm7-flash.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/view/job_view.h"
#include "tools/qdm7-flash/view/progress.h"

namespace {

constexpr std::int32_t BLOCK = 16384;
constexpr std::int64_t TOTAL = 97LL * BLOCK;

std::string line(std::int64_t done, std::uint32_t elapsed_ms, int columns = 80, std::uint32_t resends = 0,
                 std::int32_t resend_in_s = -1)
{
    char text[PROGRESS_LINE_WIDTH + 160];
    format_progress(text, sizeof text, {done, TOTAL, BLOCK, elapsed_ms, resends, resend_in_s}, columns);
    return text;
}

TEST(ProgressLine, ShowsBlocksPercentRateAndTimeLeft)
{
    // 10 blocks in 2 s: 80 KiB/s, 87 blocks (1392 KiB) left take 17.4 s.
    const std::string text = line(10LL * BLOCK, 2000);
    EXPECT_NE(text.find(" 10/97 blocks  10%"), std::string::npos) << text;
    EXPECT_NE(text.find("80.0 KiB/s"), std::string::npos) << text;
    EXPECT_NE(text.find("0:17 left"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(ProgressLine, HasNoRateBeforeTheFirstBlockAndAFullBarAtTheEnd)
{
    const std::string first = line(0, 0);
    EXPECT_NE(first.find("  0/97 blocks   0%"), std::string::npos) << first;
    EXPECT_NE(first.find("--.- KiB/s --:-- left"), std::string::npos) << first;
    EXPECT_NE(first.find("[------------------------]"), std::string::npos) << first;

    const std::string last = line(TOTAL, 20000);
    EXPECT_NE(last.find("[########################]  97/97 blocks 100%"), std::string::npos) << last;
    EXPECT_NE(last.find("0:00 left"), std::string::npos) << last;
}

TEST(ProgressLine, EveryLineIsPaddedToOneWidthAndFitsSmallBuffers)
{
    EXPECT_EQ(line(0, 0).size(), PROGRESS_LINE_WIDTH);
    EXPECT_EQ(line(TOTAL, 1).size(), PROGRESS_LINE_WIDTH);
    char small[16];
    std::memset(small, 'x', sizeof small);
    format_progress(small, sizeof small, {BLOCK, TOTAL, BLOCK, 100, 0, -1}, 80);
    EXPECT_EQ(std::strlen(small), sizeof small - 1);
}

TEST(ProgressLine, AnOverdueReplyShowsTheWaitAndTheResendsInsteadOfTheRate)
{
    const std::string text = line(10LL * BLOCK, 12000, 80, 2, 7);
    EXPECT_NE(text.find(" 10/97 blocks  10%  no reply, resending in 7 s (2 resends)"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("KiB/s"), std::string::npos) << text;
    EXPECT_NE(line(0, 0, 80, 1).find("left (1 resend)"), std::string::npos);
}

// After a resume that kept 60 blocks, 13 written in 2.6 s: 80 KiB/s and 24
// blocks (4.8 s) left, not the 449 KiB/s of counting the kept ones as sent.
TEST(ProgressLine, AResumePacesByTheBlocksThisAttemptWrote)
{
    char text[PROGRESS_LINE_WIDTH + 1];
    format_progress(text, sizeof text, {73LL * BLOCK, TOTAL, BLOCK, 2600, 0, -1, 60LL * BLOCK}, 80);
    const std::string shown = text;
    EXPECT_NE(shown.find(" 73/97 blocks  75%   80.0 KiB/s 0:05 left"), std::string::npos) << shown;
}

// A resumed attempt that failed its CRC is followed by a whole one from
// block 0: the pace is timed afresh from its first block.
TEST(ProgressLine, AWholeAttemptAfterAResumedOneIsTimedAfresh)
{
    UpdateJob job;
    job.state = JobState::Programming;
    job.work.resumed_at = 60;
    JobWatch watch;
    watch_job(watch, job, 1000);
    watch_job(watch, job, 3000);
    EXPECT_EQ(programming_ms(watch, 4000), 3000u);
    job.work.resumed_at = 0;
    watch_job(watch, job, 9000);
    EXPECT_EQ(programming_ms(watch, 9500), 500u);
}

// Never as wide as the terminal, so it never wraps; the counts, the percent
// and the wait stay longest.
TEST(ProgressLine, FitsEveryWidthDroppingTheLeastUsefulFieldsFirst)
{
    for (int columns = 8; columns <= 120; ++columns) {
        for (const std::string& text : {line(10LL * BLOCK, 2000, columns), line(TOTAL, 20000, columns, 3),
                                        line(96LL * BLOCK, 9000, columns, 12, 10)}) {
            EXPECT_EQ(text.size(), std::min(static_cast<std::size_t>(columns - 1), PROGRESS_LINE_WIDTH))
                << columns << ": '" << text << "'";
        }
    }
    const std::string fifty = line(10LL * BLOCK, 2000, 50);
    EXPECT_EQ(fifty.find("KiB/s"), std::string::npos) << fifty;
    EXPECT_NE(fifty.find("]  10/97 blocks  10% 0:17 left"), std::string::npos) << fifty;
    const std::string waiting = line(10LL * BLOCK, 12000, 50, 1, 7);
    EXPECT_NE(waiting.find("10/97 blocks  10%  no reply, resending in 7 s"), std::string::npos) << waiting;
    const std::string thirty = line(10LL * BLOCK, 12000, 30, 1, 7);
    EXPECT_EQ(thirty.rfind("10/97  10% resend in 7 s", 0), 0u) << thirty;
}

// The line is fitted to the usual 80 columns when there is no terminal to ask.
TEST(TerminalColumns, AreEightyWithoutATerminal)
{
    if (stderr_is_terminal())
        GTEST_SKIP() << "standard error is a terminal here";
    EXPECT_EQ(terminal_columns(), 80);
}

} // namespace
