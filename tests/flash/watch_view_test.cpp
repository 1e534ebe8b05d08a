// What a watching station shows beyond its lines per port: the head line,
// the closing totals, and the units Ctrl-C cut short.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qdm7-flash/view/watch_view.h"

namespace {

WatchTotals totals(std::uint32_t completed, std::uint32_t elapsed_ms)
{
    WatchTotals given;
    given.completed = completed;
    given.elapsed_ms = elapsed_ms;
    given.count = 5;
    given.updating = 1;
    given.watched = "usb:0403:6001";
    return given;
}

// One unit in 6 s says nothing of the station's rate: none until a few
// units or a minute.
TEST(WatchTotals, GiveARateOnlyAfterAFewUnitsOrAMinute)
{
    EXPECT_EQ(watch_head_text(totals(1, 6000)), "1 completed, 0 failed, --/h; 1 of 5 units; 1 updating; "
                                                "waiting for units on usb:0403:6001");
    EXPECT_EQ(watch_summary_text(totals(1, 6000)), "1 unit: 1 completed, 0 failed, in 6 s");
    EXPECT_EQ(watch_summary_text(totals(3, 18000)), "3 units: 3 completed, 0 failed, in 18 s (600/h)");
    EXPECT_EQ(watch_summary_text(totals(1, 72000)), "1 unit: 1 completed, 0 failed, in 1 min 12 s (50/h)");
}

TEST(CutUnits, AreNamedWithWhereEachWasToBeUpdatedAgain)
{
    PortView programming;
    programming.phase = PortPhase::Programming;
    programming.blocks_done = 77;
    programming.blocks_total = 97;
    PortView lost;
    lost.phase = PortPhase::Reconnecting;
    EXPECT_EQ(cut_where(programming), "at block 78 of 97");
    EXPECT_EQ(cut_where(PortView{}), "while contacting");
    EXPECT_EQ(cut_where(lost), "while its port was lost");
    EXPECT_EQ(cut_units_text({{"/dev/ttyUSB0", "QDM7-0001", "at block 78 of 97"},
                              {"/tmp/line/qdm7-3", "", "while contacting"}}),
              (std::vector<std::string>{"2 units not finished, left unrecorded; update them again:",
                                        "    /dev/ttyUSB0 (USB serial number QDM7-0001), cut at block 78 of 97",
                                        "    /tmp/line/qdm7-3, cut while contacting"}));
    EXPECT_EQ(cut_units_text({{"/tmp/line/qdm7-1", "", "while verifying"}}).front(),
              "1 unit not finished, left unrecorded; update it again:");
    EXPECT_TRUE(cut_units_text({}).empty());
}

} // namespace
