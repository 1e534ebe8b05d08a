#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "engine/image.h"
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

// The image loader's fatal errors carry the number of their own cause, not
// one left over from an earlier call (port probing leaves "file not found").
TEST(FatalText, OutOfMemoryCarriesItsOwnErrorNumber)
{
#ifdef _WIN32
    SetLastError(ERROR_FILE_NOT_FOUND);
    set_failure_cause(FailureCause::OutOfMemory);
    const unsigned long code = GetLastError();
    EXPECT_EQ(code, static_cast<unsigned long>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(failure_cause_code(FailureCause::TooLarge), static_cast<unsigned long>(ERROR_ARITHMETIC_OVERFLOW));
#else
    errno = ENOENT;
    set_failure_cause(FailureCause::OutOfMemory);
    const auto code = static_cast<unsigned long>(errno);
    EXPECT_EQ(code, static_cast<unsigned long>(ENOMEM));
    EXPECT_EQ(failure_cause_code(FailureCause::TooLarge), static_cast<unsigned long>(EOVERFLOW));
#endif
    char number_line[48];
    std::snprintf(number_line, sizeof number_line, "Error number %lu reported\n", code);
    EXPECT_EQ(fatal_text("Not enough memory to hold the firmware image", code, "Not enough memory.\n"),
              HEADER + "          Not enough memory to hold the firmware image\n" + number_line +
                  "Not enough memory.\n" + CLOSING);
}

// The loader's returning form gives the failure that the dialog's fatal text
// names (its number is the platform's for the cause), leaves the job as it
// was and the program running; qdm7-flash says it as that fatal text.
TEST(ImageFailure, ATooLargeImageIsReturnedWithTheFatalTextsNumber)
{
    std::vector<std::uint8_t> frame_buffer(FRAME_BUFFER_SIZE);
    UpdateJob job;
    prepare_job(job, frame_buffer.data());
    const std::uint8_t byte = 0;
    ImageFailure failure;
    EXPECT_FALSE(try_load_firmware_image(&byte, static_cast<std::uint32_t>(MAX_IMAGE_LENGTH) + 1, job, failure));
    EXPECT_EQ(failure.kind, ImageFailureKind::TooLarge);
    EXPECT_EQ(failure.error_code, failure_cause_code(FailureCause::TooLarge));
    EXPECT_NE(failure.error_code, 0ul);
    EXPECT_STREQ(failure.text, "The firmware image built into this program is too large");
    EXPECT_EQ(job.image, nullptr);
    EXPECT_EQ(job.image_size, 0);

    char text[FATAL_TEXT_SIZE];
    format_platform_fatal_text(text, failure.text, failure.error_code);
    char number_line[48];
    std::snprintf(number_line, sizeof number_line, "Error number %lu reported\n", failure.error_code);
    const std::string said = text;
    EXPECT_EQ(said.rfind(HEADER + "          The firmware image built into this program is too large\n" + number_line, 0),
              0u)
        << said;
    EXPECT_EQ(said.substr(said.size() - CLOSING.size()), CLOSING);

    // An image that fits is loaded, and the failure is cleared.
    EXPECT_TRUE(try_load_firmware_image(&byte, 1, job, failure));
    EXPECT_EQ(failure.kind, ImageFailureKind::None);
    EXPECT_EQ(job.image_size, BLOCK_SIZE);
    release_firmware_image(job);
}

} // namespace
