// Text fitted to a terminal without cutting a word.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qdm7-flash/view/fit_text.h"

namespace {

// The turns of a line's fields: the first first, each taken while the line
// fits; nested, nothing after the first that does not.
TEST(FitText, FieldsTakeTheirTurnsForTheRoom)
{
    LineField bar;
    bar.elastic = [](std::size_t width) { return std::string(width, '#'); };
    bar.least = 2;
    bar.widest = 6;
    const std::vector<LineField> fields = {bar, text_field("port", "", FieldForm::Whole, 6),
                                           text_field("block 13 of 97", "13/97"), text_field("0:17 left")};
    const std::vector<FitTurn> turns = {{2}, {3}, {0, FieldForm::Brief}, {1}, {0}};
    EXPECT_EQ(fit_fields(fields, turns, 80, " ", FitOrder::EachItsTurn), "###### port   block 13 of 97 0:17 left");
    EXPECT_EQ(fit_fields(fields, turns, 20, " ", FitOrder::EachItsTurn), "### port   0:17 left");
    EXPECT_EQ(fit_fields(fields, turns, 20, " ", FitOrder::Nested), "port");
    const std::vector<FitTurn> brief_first = {{2, FieldForm::Brief}, {2}};
    EXPECT_EQ(fit_fields(fields, brief_first, 12, " ", FitOrder::EachItsTurn), "port   13/97");
    // Too narrow for the line it starts as: the elastic field narrows, then
    // words go.
    std::vector<LineField> wide = fields;
    wide[0].form = FieldForm::Brief;
    wide[0].least = 5;
    EXPECT_EQ(fit_fields(wide, {}, 6, " ", FitOrder::EachItsTurn), "# port");
    EXPECT_EQ(fit_fields(wide, {}, 5, " ", FitOrder::EachItsTurn), "#");
}

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
