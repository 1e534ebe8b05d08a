#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/report.h"

namespace {

const std::string HEADER = "\n\nAn Error has occurred as follows:\n";
const std::string CLOSING = "\n\n The program will now abort\n\n\n";

std::string fatal_text(const char* message, unsigned long code, const char* system_text)
{
    char text[FATAL_TEXT_SIZE + 16];
    std::memset(text, 0x5A, sizeof text);
    const std::size_t length = format_fatal_text(text, message, code, system_text);
    EXPECT_EQ(length, std::strlen(text));
    EXPECT_LT(length, FATAL_TEXT_SIZE);
    // Nothing past the 1000-character buffer is touched.
    for (std::size_t i = FATAL_TEXT_SIZE; i < sizeof text; ++i)
        EXPECT_EQ(text[i], 0x5A);
    return text;
}

TEST(FatalText, WithoutAnErrorCodeTheClosingLinesFollowTheMessage)
{
    EXPECT_EQ(fatal_text("Could not create dialog", 0, "ignored"),
              HEADER + "          Could not create dialog\n" + CLOSING);
}

TEST(FatalText, ErrorCodeAndSystemTextComeBeforeTheClosingLines)
{
    EXPECT_EQ(fatal_text("Unable to open serial port. In use already, or not present", 2,
                         "The system cannot find the file specified.\r\n"),
              HEADER +
                  "          Unable to open serial port. In use already, or not present\n"
                  "Error number 2 reported\n"
                  "The system cannot find the file specified.\r\n" +
                  CLOSING);
}

TEST(FatalText, LongSystemTextIsCutSoTheClosingLinesStillFit)
{
    const std::string system_text(5000, 'x');
    const std::string text = fatal_text("Unabled to register window class", 1400, system_text.c_str());
    EXPECT_EQ(text.size(), FATAL_TEXT_SIZE - 1);
    EXPECT_EQ(text.substr(text.size() - CLOSING.size()), CLOSING);
    EXPECT_NE(text.find("Error number 1400 reported\nxxxx"), std::string::npos);

    const std::string message(3000, 'm');
    const std::string long_message = fatal_text(message.c_str(), 5, "text");
    EXPECT_EQ(long_message.substr(long_message.size() - CLOSING.size()), CLOSING);
}

} // namespace
