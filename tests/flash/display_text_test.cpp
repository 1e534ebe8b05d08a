// The texts of the one-line display beside its progress line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qdm7-flash/view/display_text.h"

namespace {

TEST(MessageLines, BreakAtBlanksShortOfTheLastColumn)
{
    const std::string text = "qdm7-flash: lost the port /dev/ttyUSB0 (the device went away)";
    EXPECT_EQ(message_lines(text, 80), std::vector<std::string>{text});
    EXPECT_EQ(message_lines(text, 30),
              (std::vector<std::string>{"qdm7-flash: lost the port", "/dev/ttyUSB0 (the device went", "away)"}));
    // Never narrower than 20 columns; a word longer than that is cut.
    EXPECT_EQ(message_lines("qdm7-flash: /dev/serial/by-id/usb-FTDI", 8),
              (std::vector<std::string>{"qdm7-flash:", "/dev/serial/by-id/u", "sb-FTDI"}));
}

} // namespace
