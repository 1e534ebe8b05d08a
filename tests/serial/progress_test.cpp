// The progress bar line of qdm7-flash.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tools/qdm7-flash/progress.h"

namespace {

constexpr std::int32_t BLOCK = 16384;
constexpr std::int64_t TOTAL = 97LL * BLOCK;

std::string line(std::int64_t done, std::uint32_t elapsed_ms)
{
    char text[PROGRESS_LINE_WIDTH + 160];
    format_progress(text, sizeof text, done, TOTAL, BLOCK, elapsed_ms);
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
    format_progress(small, sizeof small, BLOCK, TOTAL, BLOCK, 100);
    EXPECT_EQ(std::strlen(small), sizeof small - 1);
}

} // namespace
