// qdm7-flash as a user meets it: its options and exit codes, a port it
// cannot have, and a device on a pseudo-terminal that stops reading in the
// middle of a block (the deadline and Ctrl-C must still end the run within
// about a second). A whole update is e2e.py's, over qdm7-sim, and the
// station's own behaviour is tested in-process (station_test.cpp).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "build_info.h"
#include "engine/frames.h"
#include "tests/serial/pty_device.h"

namespace {

// One run of qdm7-flash.
struct Flash : Child {
    explicit Flash(const std::vector<std::string>& args) : Child(QDM7_FLASH_PATH, args) {}
};

constexpr const char* OPEN_FAILED = "Unable to open serial port. In use already, or not present";

// Each message itself is checked in-process (flash_options_test.cpp); here,
// how the program gives one.
TEST(FlashOptions, UsageErrorsGiveAOneLineHintAndExit64)
{
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"--frobnicate"}, {"--port"}, {"--port", "/dev/x", "--deadline", "soon"}};
    for (const auto& args : wrong) {
        Flash flash(args);
        ASSERT_EQ(flash.wait(10000), 64) << (args.empty() ? "(no arguments)" : args.back());
        const std::string err = flash.err();
        EXPECT_EQ(count_of(err, "\n"), 1) << err;
        EXPECT_NE(err.find("try 'qdm7-flash --help'"), std::string::npos) << err;
        if (args.size() > 2 && args[2].starts_with("--deadline")) {
            EXPECT_NE(err.find("up to 604800"), std::string::npos) << err;
        }
    }
}

TEST(FlashOptions, HelpAndVersionExitZero)
{
    Flash help({"--help"});
    ASSERT_EQ(help.wait(10000), 0);
    EXPECT_NE(help.out().find("Usage: qdm7-flash --port PATH"), std::string::npos);
    // Paragraphs of their own, which help2man makes the man page's EXIT
    // STATUS and ENVIRONMENT.
    EXPECT_NE(help.out().find("\n\nExit status:\n  0    completed"), std::string::npos) << help.out();
    EXPECT_NE(help.out().find("\n  3    the --deadline passed\n"), std::string::npos) << help.out();
    EXPECT_NE(help.out().find("\n\nEnvironment:\n  QDM7_PORT_GLOB  "), std::string::npos) << help.out();
    Flash version({"--version"});
    ASSERT_EQ(version.wait(10000), 0);
    const std::string out = version.out();
    const std::string first_line = std::string("qdm7-flash ") + QDM7_VERSION +
                                   (QDM7_DEVELOPMENT_BUILD ? " (development build)\n" : "\n");
    EXPECT_EQ(out.rfind(first_line, 0), 0u) << out;
    EXPECT_NE(out.find("CRC 0x"), std::string::npos) << out;
    EXPECT_EQ(count_of(out, "\nimage: sample image (not a release)\n"), QDM7_SAMPLE_IMAGE) << out;
}

// A program that carries the sample image says so before it opens the port.
constexpr const char* SAMPLE_WARNING =
    "qdm7-flash: warning: sample image (not a release), not firmware for a real QDM7\n";

TEST(FlashPort, AMissingPortIsFatalWithTheSystemText)
{
    Flash flash({"--port", "/dev/qdm7-no-such-port"});
    ASSERT_EQ(flash.wait(10000), 1);
    const std::string err = flash.err();
    EXPECT_EQ(err.find(SAMPLE_WARNING), QDM7_SAMPLE_IMAGE ? 0 : std::string::npos) << err;
    EXPECT_NE(err.find(OPEN_FAILED), std::string::npos) << err;
    EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
    EXPECT_NE(flash.out().find(" . Opening serial port /dev/qdm7-no-such-port at 921600 baud\n"),
              std::string::npos);
}

// A report whose last line a killed run left torn is said, and its next
// record goes on a line of its own.
TEST(FlashReport, ATornLastLineIsSaidAndTheNextRecordStartsOnANewLine)
{
    char dir[] = "/tmp/qdm7-torn-report-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string report = std::string(dir) + "/report.jsonl";
    const std::string torn = "{\"port\": \"/dev/ttyUSB0\", \"result\": \"comp";
    { std::ofstream out(report, std::ios::binary); out << torn; }
    Flash flash({"--port", "/dev/qdm7-no-such-port", "--report", report});
    ASSERT_EQ(flash.wait(10000), 1);
    EXPECT_NE(flash.err().find("qdm7-flash: the report " + report + " ends inside a line, left by a run that was "
                               "stopped while writing it: that line is no record"),
              std::string::npos)
        << flash.err();
    std::ifstream in(report, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind(torn + "\n{\"port\": \"/dev/qdm7-no-such-port\", \"result\": \"error\"", 0), 0u) << text;
    EXPECT_TRUE(text.ends_with("}\n")) << text;
    std::remove(report.c_str());
    rmdir(dir);
}

TEST(FlashPort, APortHeldByAnotherProgramIsFatalWithTheSystemText)
{
    Line line;
    const int holder = open(line.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    Flash flash({"--port", line.path});
    ASSERT_EQ(flash.wait(10000), 1);
    close(holder);
    const std::string err = flash.err();
    EXPECT_NE(err.find(OPEN_FAILED), std::string::npos) << err;
    EXPECT_NE(err.find("Device or resource busy"), std::string::npos) << err;
}

TEST(FlashPort, AFileOrDevNullIsRefusedAndLeftUntouched)
{
    char dir[] = "/tmp/qdm7-not-a-port-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/notes.txt";
    const std::string text = "precious\nbytes\n";
    { std::ofstream out(file, std::ios::binary); out << text; }
    const timespec old_times[2] = {{1577836800, 0}, {1577836800, 0}}; // 2020-01-01
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), old_times, 0), 0);
    for (const std::string& path : {file, std::string("/dev/null")}) {
        Flash flash({"--port", path});
        ASSERT_EQ(flash.wait(10000), 1) << path << ": " << flash.err();
        EXPECT_NE(flash.err().find(path + " is not a serial port"), std::string::npos) << flash.err();
        EXPECT_EQ(flash.out().find("CONTACTING"), std::string::npos) << flash.out();
    }
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(read_file(file), text);
    EXPECT_EQ(after.st_mtim.tv_sec, old_times[1].tv_sec);
    std::remove(file.c_str());
    rmdir(dir);
}

// A terminal named by mistake must be given back as it was found: its line
// settings, and without the exclusive flag that would keep its owner out.
TEST(FlashPort, TheTerminalIsLeftAsItWasFoundAfterADeadlineOrCtrlC)
{
    Line line;
    termios cooked{};
    ASSERT_EQ(tcgetattr(line.port, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= ICRNL;
    cooked.c_oflag |= OPOST | ONLCR;
    cfsetspeed(&cooked, B9600);
    ASSERT_EQ(tcsetattr(line.port, TCSANOW, &cooked), 0);
    ASSERT_EQ(tcgetattr(line.port, &cooked), 0);
    for (const bool interrupt : {false, true}) {
        Flash flash({"--port", line.path, "--deadline", "2"});
        if (interrupt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            kill(flash.pid, SIGINT);
        }
        ASSERT_EQ(flash.wait(10000), interrupt ? 130 : 3) << flash.err();
        termios after{};
        ASSERT_EQ(tcgetattr(line.port, &after), 0);
        EXPECT_EQ(after.c_lflag, cooked.c_lflag);
        EXPECT_EQ(after.c_iflag, cooked.c_iflag);
        EXPECT_EQ(after.c_oflag, cooked.c_oflag);
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&cooked));
        int exclusive = -1;
        ASSERT_EQ(ioctl(line.port, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << (interrupt ? "after Ctrl-C" : "after the deadline");
    }
}

// A device that answers the contact and then stops reading: the updater's
// first block fills the line and its write blocks. Acknowledgements keep
// coming, one per 100 ms, so that the updater would move on if it could.
void stall(Line& line, const std::atomic<bool>& stop)
{
    std::uint8_t ack[4] = {4, LOADER_FUNCTION, 0, 0};
    const std::uint16_t crc = crc16_update(CRC_INITIAL, ack, 2);
    ack[2] = static_cast<std::uint8_t>(crc & 0xFF);
    ack[3] = static_cast<std::uint8_t>(crc >> 8);
    std::uint8_t first[64];
    pollfd wait{line.device, POLLIN, 0};
    while (!stop && poll(&wait, 1, 20) <= 0) {
    }
    if (read(line.device, first, sizeof first) <= 0)
        return;
    if (write(line.device, ack, sizeof ack) < 0)
        return;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    while (!stop) {
        if (write(line.device, ack, sizeof ack) < 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// A stalling device on a line of its own, on its own thread until the test
// ends.
struct StuckDevice {
    Line line;
    std::atomic<bool> stop{false};
    std::thread thread{stall, std::ref(line), std::cref(stop)};
    ~StuckDevice()
    {
        stop = true;
        thread.join();
    }
};

// Waits until a block's trace line has stayed without its " - SENT - " for
// half a second: the updater's write of that block is stuck.
bool wait_until_stuck(const Flash& flash)
{
    const auto start = Clock::now();
    auto since = Clock::now();
    bool pending = false;
    while (ms_since(start) < 20000) {
        const std::string out = flash.out();
        const std::size_t block = out.rfind("PROG ADDR");
        const bool now = block != std::string::npos &&
                         out.find(" - SENT - ", block) == std::string::npos;
        if (now && !pending)
            since = Clock::now();
        pending = now;
        if (pending && ms_since(since) > 500)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(FlashStuckDevice, CtrlCClosesThePortAndExits130WithinASecond)
{
    StuckDevice device;
    Flash flash({"--port", device.line.path});
    const bool stuck = wait_until_stuck(flash);
    const auto start = Clock::now();
    kill(flash.pid, SIGINT);
    const int status = flash.wait(5000);
    const long took = ms_since(start);
    ASSERT_TRUE(stuck) << flash.out();
    EXPECT_EQ(status, 130) << flash.err();
    EXPECT_LE(took, 1000);
    EXPECT_NE(flash.err().find("interrupted; port closed"), std::string::npos) << flash.err();
}

TEST(FlashStuckDevice, TheDeadlineEndsTheRunWithExit3WithinASecond)
{
    StuckDevice device;
    const auto start = Clock::now();
    Flash flash({"--port", device.line.path, "--deadline", "4"});
    const bool stuck = wait_until_stuck(flash);
    const int status = flash.wait(10000);
    const long took = ms_since(start);
    ASSERT_TRUE(stuck) << flash.out();
    EXPECT_EQ(status, 3) << flash.err();
    EXPECT_GE(took, 3900);
    EXPECT_LE(took, 5000);
    EXPECT_NE(flash.err().find("deadline of 4 s passed; port closed"), std::string::npos)
        << flash.err();
}

// A process of its own that opens a port and locks it, as another program
// would, until the test ends.
struct LockingHolder {
    pid_t pid = -1;

    explicit LockingHolder(const std::string& path)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
            const char locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
            if (write(ready[1], &locked, 1) == 1)
                pause();
            _exit(0);
        }
        char locked = 'n';
        if (pid < 0 || read(ready[0], &locked, 1) != 1 || locked != 'y')
            pid = -1;
        close(ready[0]);
        close(ready[1]);
    }
    ~LockingHolder()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    LockingHolder(const LockingHolder&) = delete;
    LockingHolder& operator=(const LockingHolder&) = delete;
};

// A pseudo-terminal is no USB port: ModemManager and brltty, should they run
// here, are in the way of neither.
TEST(FlashDoctor, NamesWhoHoldsAGivenPortAndPassesAFreeOne)
{
    {
        Pty held;
        close(held.port); // only the holder has it open
        held.port = -1;
        const LockingHolder holder(held.path);
        ASSERT_GT(holder.pid, 0);
        Flash flash({"--doctor", "--port", held.path});
        ASSERT_EQ(flash.wait(10000), 1) << flash.out();
        EXPECT_NE(flash.out().find("(pid " + std::to_string(holder.pid) + ")"), std::string::npos) << flash.out();
    }
    Pty unheld;
    close(unheld.port);
    unheld.port = -1;
    Flash flash({"--doctor", "--port", unheld.path});
    ASSERT_EQ(flash.wait(10000), 0) << flash.out();
    EXPECT_NE(flash.out().find("\n  in use by nobody\n"), std::string::npos) << flash.out();
    EXPECT_NE(flash.out().find("\nnothing in the way\n"), std::string::npos) << flash.out();
}

// This process keeps both ends of the terminal open, as qdm7-sim does so
// that it never hangs up: the device's side is no holder. A program that
// holds the lock beside it is named alone, and --list says so rather than
// that there is no port.
TEST(FlashDoctor, TheDeviceSideOfAPseudoTerminalHoldsNothing)
{
    Pty line;
    Flash free_port({"--doctor", "--port", line.path});
    ASSERT_EQ(free_port.wait(10000), 0) << free_port.out();
    EXPECT_NE(free_port.out().find("\n  in use by nobody\n"), std::string::npos) << free_port.out();

    const LockingHolder holder(line.path);
    ASSERT_GT(holder.pid, 0);
    Flash held({"--doctor", "--port", line.path});
    ASSERT_EQ(held.wait(10000), 1) << held.out();
    const std::string named = " (pid " + std::to_string(holder.pid) + ")\n  fix: close that program";
    EXPECT_NE(held.out().find(named), std::string::npos) << held.out();
    EXPECT_EQ(held.out().find("(pid " + std::to_string(getpid()) + ")"), std::string::npos) << held.out();

    setenv("QDM7_PORT_GLOB", line.path.c_str(), 1);
    Flash list({"--list"});
    unsetenv("QDM7_PORT_GLOB");
    ASSERT_EQ(list.wait(10000), 0) << list.err();
    EXPECT_EQ(list.out(), "");
    EXPECT_NE(list.err().find("qdm7-flash: " + line.path + " is in use by "), std::string::npos) << list.err();
    EXPECT_NE(list.err().find("(pid " + std::to_string(holder.pid) + "): not listed while it is held\n"),
              std::string::npos)
        << list.err();
    EXPECT_EQ(list.err().find("no serial ports found"), std::string::npos) << list.err();
}

// Every port asked for is reported, also beside a selection that matches
// nothing.
TEST(FlashDoctor, ReportsEveryPortAskedForBesideASelectionThatMatchesNothing)
{
    char file[] = "/tmp/qdm7-doctor-file-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    Flash flash({"--doctor", "--port", file, "--port", "/dev/qdm7-no-such-port", "--port",
                 "usb:0403:6001:qdm7-no-such-serial"});
    const int status = flash.wait(10000);
    std::remove(file);
    const std::string out = flash.out();
    ASSERT_EQ(status, 1) << out;
    EXPECT_NE(out.find(std::string("\n") + file + "\n  not a serial port"), std::string::npos) << out;
    EXPECT_NE(out.find("\n/dev/qdm7-no-such-port\n  not there: no such port\n"), std::string::npos) << out;
    EXPECT_NE(out.find("no port matches usb:0403:6001:qdm7-no-such-serial"), std::string::npos) << out;
    EXPECT_NE(out.find("\n3 things in the way\n"), std::string::npos) << out;
}

} // namespace
