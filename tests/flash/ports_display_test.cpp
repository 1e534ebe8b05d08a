// What qdm7-flash draws of several ports, in-process: the lines written on
// and off a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/qdm7-flash/view/ports_display.h"
#include "tests/flash/port_views.h"

namespace {

std::string written(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;)
        text += static_cast<char>(c);
    return text;
}

std::uint32_t fake_now = 0;

TEST(PortsDisplay, OffATerminalALinePerChangeEachWithItsPort)
{
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    PortsDisplay shown;
    ports_display_start(shown, {"/dev/pts/1", "/dev/pts/2"}, false, out);
    PortView contacting;
    contacting.phase = PortPhase::Contacting;
    ports_display_update(shown, 0, contacting);
    ports_display_update(shown, 0, contacting);
    ports_display_update(shown, 1, programming(0, 0));
    ports_display_update(shown, 1, programming(5, 1000));
    ports_display_say(shown, 1, "no reply to block 6/97 within 10 s; resending it (resend 1)");
    ports_display_update(shown, 1, done(DeviceResult::Failed, 21500, "device CRC 0x1234, image CRC 0x0c2f"));
    ports_display_end(shown);
    EXPECT_EQ(written(out), "/dev/pts/1: contacting\n"
                            "/dev/pts/2: programming 97 blocks\n"
                            "/dev/pts/2: no reply to block 6/97 within 10 s; resending it (resend 1)\n"
                            "/dev/pts/2: failed after 21.5 s: device CRC 0x1234, image CRC 0x0c2f\n");
    std::fclose(out);
}

TEST(PortsDisplay, OnATerminalTheBlockIsRedrawnInPlaceAtMostTenTimesASecond)
{
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    PortsDisplay shown;
    shown.now = [] { return fake_now; };
    ports_display_start(shown, {"/dev/pts/1", "/dev/pts/2"}, true, out);
    fake_now = 1000;
    ports_display_draw(shown);
    const std::size_t first = written(out).size();
    fake_now += PORTS_REDRAW_MS - 1;
    ports_display_update(shown, 0, programming(3, 600));
    ports_display_draw(shown);
    EXPECT_EQ(written(out).size(), first) << "redrawn too soon";
    fake_now += 1;
    ports_display_draw(shown);
    const std::string text = written(out);
    EXPECT_EQ(text.substr(first, 6), "\r\033[2A\r") << "not drawn over the block";
    EXPECT_NE(text.find("block 4 of 97", first), std::string::npos);
    // A message goes above the block, which is drawn again below it.
    ports_display_say(shown, 1, "lost");
    EXPECT_NE(written(out).find("\r\033[2A\r/dev/pts/2: lost\033[K\n\r/dev/pts/1  programming"), std::string::npos);
    std::fclose(out);
}

// At 50 columns a station's head line loses its last clauses whole, and a
// message above the block is broken at blanks.
TEST(PortsDisplay, TheHeadAndTheMessagesAreNeverCutInAWord)
{
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    PortsDisplay shown;
    shown.columns = [] { return 50; };
    ports_display_start(shown, {"/tmp/line/qdm7-1"}, true, out);
    ports_display_head(shown, "0 completed, 0 failed, --/h; 0 of 2 units; 2 updating; waiting for units on /tmp/line/*");
    ports_display_say(shown, 0, "failed after 19.3 s: CRC mismatch: the device has 0xac4e, the image 0x0c2f");
    EXPECT_EQ(written(out), "\r/tmp/line/qdm7-1: failed after 19.3 s: CRC\033[K\n"
                            "\r  mismatch: the device has 0xac4e, the image\033[K\n"
                            "\r  0x0c2f\033[K\n"
                            "\r0 completed, 0 failed, --/h; 0 of 2 units\033[K\n"
                            "\r/tmp/line/qdm7-1  opening\033[K\n");
    std::fclose(out);
}

} // namespace
