// The texts of qdm7-flash's line per port, in-process: each port's line at
// any width, the block of lines on a short terminal, and the summary.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tools/qdm7-flash/view/ports_text.h"
#include "tests/flash/port_views.h"

namespace {

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
              "/dev/pts/0  deadline     8.0 s");
}

std::vector<std::string> words_of(const std::string& line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// A station's failed unit, as the watch shows it once it ended.
PortView failed_unit()
{
    PortView view = done(DeviceResult::Failed, 19300, "CRC mismatch: the device has 0xac4e, the image 0x0c2f");
    view.ended_at = "06:03:34";
    view.next_step = "to try again, unplug it and plug it back in";
    view.next_step_brief = "replug to retry";
    return view;
}

// Narrow lines lose whole fields, or keep their brief forms: the reason and
// the next step stay longest; no word is ever cut.
TEST(PortLine, ShortensByWholeFieldsNeverCuttingAWord)
{
    const std::string port = "/tmp/line/qdm7-2";
    EXPECT_EQ(format_port_line(port, 16, failed_unit(), 50), ".../qdm7-2  failed  CRC mismatch  replug to retry");
    EXPECT_EQ(format_port_line(port, 16, failed_unit(), 80),
              "/tmp/line/qdm7-2  failed       at 06:03:34  CRC mismatch  replug to retry");
    EXPECT_EQ(format_port_line("/tmp/i26/nonexist", 17, done(DeviceResult::Error, 0, "No such file or directory"), 50),
              "...i26/nonexist  error  No such file or directory");
    PortView held = done(DeviceResult::Error, 0, "/dev/ttyUSB0 is in use by minicom (pid 812)");
    EXPECT_EQ(format_port_line("/dev/ttyUSB0", 12, held, 60), "/dev/ttyUSB0  error  /dev/ttyUSB0 is in use by minicom");
    PortView power;
    power.phase = PortPhase::PowerWait;
    power.waiting_ms = 12000;
    EXPECT_EQ(format_port_line(port, 16, power, 50), "/tmp/line/qdm7-2  contacting   power-cycle it");

    PortView cut;
    cut.phase = PortPhase::Cut;
    cut.detail = "at block 78 of 97";
    cut.next_step = "not recorded: update it again";
    cut.next_step_brief = "update it again";
    PortView not_taken;
    not_taken.phase = PortPhase::NotTaken;
    not_taken.detail = "count reached";
    // Each with the words of its brief forms.
    const std::pair<PortView, std::string> views[] = {
        {failed_unit(), "CRC mismatch replug to retry"}, {held, "/dev/ttyUSB0 is in use by minicom"},
        {power, "power-cycle it"}, {cut, "update it again"}, {not_taken, ""}, {programming(72, 2000, 2), "73/97"}};
    for (const auto& [view, briefs] : views) {
        std::vector<std::string> known = words_of(format_port_line(port, 16, view, 0) + " " + briefs);
        for (int columns = 30; columns <= 140; ++columns) {
            const std::string line = format_port_line(port, 16, view, columns);
            const std::vector<std::string> words = words_of(line);
            for (std::size_t i = 1; i < words.size(); ++i) // after the port, which loses its start
                EXPECT_NE(std::find(known.begin(), known.end(), words[i]), known.end())
                    << columns << ": '" << words[i] << "' is cut in " << line;
        }
    }
}

// After a resume the rate and the time left count only what this attempt
// wrote: 13 blocks (208 KiB) in 2.6 s, 80 KiB/s; 24 blocks left, 4.8 s.
TEST(PortLine, PacesAResumeByTheBlocksItWrote)
{
    PortView resumed = programming(73, 2600);
    resumed.blocks_from = 60;
    EXPECT_EQ(format_port_line("/dev/pts/3", 10, resumed, 80),
              "/dev/pts/3  programming  block 74 of 97  80.0 KiB/s  0:05 left");
    EXPECT_EQ(port_change_text(resumed), "programming 37 of 97 blocks, from block 61");
}

TEST(PortLine, AStationsLinesSayWhatTheOperatorDoesNext)
{
    EXPECT_EQ(port_change_text(failed_unit()), "failed after 19.3 s: CRC mismatch: the device has 0xac4e, the image "
                                               "0x0c2f; to try again, unplug it and plug it back in");
    PortView gone = failed_unit();
    gone.taken_away = true;
    EXPECT_EQ(format_port_line("/tmp/line/qdm7-2", 16, gone, 80),
              "/tmp/line/qdm7-2  failed       19.3 s  at 06:03:34  taken away  CRC mismatch");
    PortView lost;
    lost.phase = PortPhase::Reconnecting;
    lost.waiting_ms = 4000;
    lost.next_step = lost.next_step_brief = "plug it back in";
    EXPECT_EQ(format_port_line("/tmp/line/qdm7-2", 16, lost, 80),
              "/tmp/line/qdm7-2  port lost    waiting 4 s for it to return  plug it back in");
    PortView not_taken;
    not_taken.phase = PortPhase::NotTaken;
    not_taken.detail = "count reached";
    EXPECT_EQ(format_port_line("/tmp/line/qdm7-3", 16, not_taken, 80), "/tmp/line/qdm7-3  not taken    count reached");
    EXPECT_EQ(port_change_text(not_taken), "not taken: count reached");
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
    EXPECT_EQ(lines[6], "and 2 more: 1 completed, 1 failed");
    EXPECT_EQ(compose_port_lines(ports, views, 80, 5).back(), "and 5 more: 2 updating, 2 completed, 1 failed");
    EXPECT_EQ(compose_port_lines(ports, views, 30, 5).back(), "and 5 more: 2 updating");
}

TEST(PortSummary, IsATableOfPortResultAndSeconds)
{
    EXPECT_EQ(format_summary({"/dev/pts/10", "COM3"},
                             {done(DeviceResult::Completed, 21433), done(DeviceResult::Deadline, 30000)}),
              "port         result     seconds\n"
              "/dev/pts/10  completed     21.4\n"
              "COM3         deadline      30.0\n");
    EXPECT_EQ(format_summary({"/dev/pts/10", "/tmp/nonexist"},
                             {done(DeviceResult::Completed, 21433), done(DeviceResult::Error, 0, "No such file or directory")},
                             24),
              "port           result     seconds\n"
              "/dev/pts/10    completed     21.4\n"
              "/tmp/nonexist  error          0.0\n"
              "  No such file or\n"
              "  directory\n");
}

} // namespace
