// What qdm7-flash shows of several ports, in-process: each port's line at
// any width, the block of lines on a short terminal, the summary, and the
// lines written on and off a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/qdm7-flash/view/ports_display.h"

namespace {

PortView programming(std::int32_t done, std::uint32_t ms, std::uint32_t timeouts = 0)
{
    PortView view;
    view.phase = PortPhase::Programming;
    view.blocks_done = done;
    view.blocks_total = 97;
    view.programming_ms = ms;
    view.timeouts = timeouts;
    return view;
}

PortView done(DeviceResult result, std::uint32_t ms, const char* detail = "")
{
    PortView view;
    view.phase = PortPhase::Done;
    view.result = result;
    view.elapsed_ms = ms;
    view.detail = detail;
    return view;
}

TEST(PortLine, ShowsStateBlockRateAndTimeLeftThenTheResult)
{
    // 12 blocks (192 KiB) in 2.4 s: 80 KiB/s, 85 blocks left take 17 s.
    EXPECT_EQ(format_port_line("/dev/ttyUSB0", 12, programming(12, 2400, 1), 80),
              "/dev/ttyUSB0  programming  block 13 of 97  80.0 KiB/s  0:17 left  (1 resend)");
    EXPECT_EQ(format_port_line("/dev/ttyUSB0", 14, done(DeviceResult::Completed, 21433), 80),
              "/dev/ttyUSB0    completed    21.4 s");
    EXPECT_EQ(format_port_line("COM3", 4, done(DeviceResult::Error, 0, "Access is denied."), 0),
              "COM3  error        0.0 s  Access is denied.");
}

// Never as wide as the terminal; the state and the end of the port's name
// stay longest.
TEST(PortLine, FitsEveryWidthDroppingTheLeastUsefulFirst)
{
    const std::string port = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A600-if00-port0";
    for (int columns = 2; columns <= 140; ++columns) {
        for (const PortView& view : {programming(12, 2400, 3), done(DeviceResult::Failed, 21000, "CRC mismatch"),
                                     PortView{}}) {
            const std::string line = format_port_line(port, static_cast<int>(port.size()), view, columns);
            EXPECT_LE(line.size(), static_cast<std::size_t>(columns - 1)) << columns << ": " << line;
        }
    }
    EXPECT_EQ(format_port_line(port, static_cast<int>(port.size()), programming(12, 2400, 3), 40),
              "..._A600-if00-port0  programming  13/97");
    EXPECT_EQ(format_port_line("/dev/pts/3", 10, programming(12, 2400, 3), 50),
              "/dev/pts/3  programming  block 13 of 97");
    EXPECT_EQ(format_port_line("/dev/pts/0", 10, done(DeviceResult::Deadline, 8000, "deadline of 8 s passed"), 40),
              "/dev/pts/0  deadline     8.0 s  deadlin");
}

TEST(PortLines, OnAShortTerminalTheRestAreCounted)
{
    std::vector<std::string> ports;
    std::vector<PortView> views;
    for (int i = 0; i < 8; ++i) {
        ports.push_back("/dev/pts/");
        ports.back() += std::to_string(i); // a literal + a string trips GCC 12's -Wrestrict at -O3
        views.push_back(i < 5 ? programming(i, 1000) : done(i == 7 ? DeviceResult::Lost : DeviceResult::Completed, 1));
    }
    EXPECT_EQ(compose_port_lines(ports, views, 80, 24).size(), 8u);
    const std::vector<std::string> lines = compose_port_lines(ports, views, 80, 8);
    ASSERT_EQ(lines.size(), 7u); // the cursor's line stays free
    EXPECT_EQ(lines[5], "/dev/pts/5  completed    0.0 s");
    EXPECT_EQ(lines[6], "and 2 more: 0 running, 1 completed, 1 not");
}

TEST(PortSummary, IsATableOfPortResultAndSeconds)
{
    EXPECT_EQ(format_summary({"/dev/pts/10", "COM3"},
                             {done(DeviceResult::Completed, 21433), done(DeviceResult::Deadline, 30000)}),
              "port         result     seconds\n"
              "/dev/pts/10  completed     21.4\n"
              "COM3         deadline      30.0\n");
}

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

} // namespace
