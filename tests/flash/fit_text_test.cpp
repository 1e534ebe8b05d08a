// Text fitted to a terminal without cutting a word.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qdm7-flash/view/fit_text.h"

namespace {

TEST(FitText, DropsWholeClausesThenWholeWords)
{
    const std::string head = "1 completed, 0 failed, --/h; 1 of 2 units; 1 updating";
    EXPECT_EQ(fit_clauses(head, 80), head);
    EXPECT_EQ(fit_clauses(head, 45), "1 completed, 0 failed, --/h; 1 of 2 units");
    EXPECT_EQ(fit_clauses(head, 20), "1 completed");
    EXPECT_EQ(fit_clauses("programming", 5), "progr"); // nothing else left to drop
}

TEST(FitText, BreaksAtBlanksKeepingAShortWordWithTheOneBefore)
{
    EXPECT_EQ(wrap_words("qdm7-flash: 2 units: 1 completed, 1 failed, in 12 s", 49, "  "),
              (std::vector<std::string>{"qdm7-flash: 2 units: 1 completed, 1 failed, in", "  12 s"}));
    EXPECT_EQ(wrap_words("    /tmp/i26view/line/qdm7-1, cut at block 29 of 97", 49, "      "),
              (std::vector<std::string>{"    /tmp/i26view/line/qdm7-1, cut at block 29", "      of 97"}));
    EXPECT_EQ(wrap_words("short", 49), std::vector<std::string>{"short"});
    EXPECT_EQ(wrap_words("/a/very/long/path/name here", 10),
              (std::vector<std::string>{"/a/very/lo", "ng/path/na", "me here"}));
}

} // namespace
