// The POSIX serial port against a pseudo-terminal peer: read time-outs, line
// settings, discovery and exclusive opening. Timings are measured loosely:
// these machines are noisy, so only ranges far from the limits are asserted.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/serial_port.h"
#include "platform/serial_port_common.h"
#include "tests/serial/pty_device.h"

namespace {

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A pty whose port side is configured as the job uses it.
struct ConfiguredPty : Pty {
    ConfiguredPty()
    {
        PortFailure failure;
        EXPECT_TRUE(configure_port(port, LINK_BAUD_FOR_TEST, READ_INTERVAL_MS, failure));
    }
    static constexpr std::uint32_t LINK_BAUD_FOR_TEST = 921600;
};

TEST(PortRead, SilenceReturnsNothingAfterTheTotalTimeout)
{
    ConfiguredPty pty;
    std::uint8_t buffer[64];
    const auto start = Clock::now();
    EXPECT_EQ(port_read(pty.port, buffer, sizeof buffer), 0);
    const long elapsed = ms_since(start);
    EXPECT_GE(elapsed, 90);
    EXPECT_LE(elapsed, 400);
}

// The device side keeps short gaps short only if the scheduler lets it; a
// run whose measured gaps were not what was meant is not judged.
struct GapRun {
    bool judged = false;
    std::int32_t first = 0;
    long first_ms = 0;
    std::int32_t second = 0;
    std::vector<std::uint8_t> bytes;
};

GapRun run_gaps()
{
    ConfiguredPty pty;
    long longest_short_gap = 0;
    long long_gap = 0;
    std::thread device([&] {
        auto last = Clock::now();
        for (std::uint8_t b = 1; b <= 4; ++b) {
            if (b > 1)
                longest_short_gap = std::max(longest_short_gap, ms_since(last));
            last = Clock::now();
            pty.send(b);
            pause_ms(4); // well under the 20 ms interval
        }
        pause_ms(70); // well over it
        long_gap = ms_since(last);
        pty.send(5);
        pty.send(6);
    });
    GapRun run;
    std::uint8_t buffer[64] = {};
    const auto start = Clock::now();
    run.first = port_read(pty.port, buffer, sizeof buffer);
    run.first_ms = ms_since(start);
    run.second = port_read(pty.port, buffer + run.first, 32);
    device.join();
    run.bytes.assign(buffer, buffer + run.first + run.second);
    run.judged = longest_short_gap < 15 && long_gap > 40;
    return run;
}

TEST(PortRead, ShortGapsKeepOneReadGoingAndALongGapEndsIt)
{
    int judged = 0;
    for (int attempt = 0; attempt < 5 && judged < 2; ++attempt) {
        const GapRun run = run_gaps();
        if (!run.judged)
            continue;
        ++judged;
        EXPECT_EQ(run.first, 4);
        EXPECT_LT(run.first_ms, 70); // ended by the gap, before the next bytes came
        EXPECT_EQ(run.second, 2);
        EXPECT_EQ(run.bytes, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
    }
    EXPECT_GT(judged, 0) << "the machine was too busy to send with the gaps meant";
}

// With a reply rule: a reply in two pieces 6 ms apart is read whole (its
// first piece does not pass), and the read ends 2 ms after it passes, before
// bytes that come 10 ms later, which the 20 ms interval alone would take in.
TEST(PortRead, AReplyRuleEndsTheReadOnceTheBytesPassAndTheLineIsQuiet)
{
    const ReplyComplete ends_in_ee = [](const std::uint8_t* bytes, std::int32_t count) {
        return count >= 4 && bytes[count - 1] == 0xEE;
    };
    int judged = 0;
    for (int attempt = 0; attempt < 5 && judged < 2; ++attempt) {
        // Opened by its path, so that the port keeps its rule.
        Pty pty;
        PortFailure failure;
        PortHandle port = open_port(pty.path.c_str(), failure);
        ASSERT_NE(port, INVALID_PORT_HANDLE) << failure.text;
        ASSERT_TRUE(configure_port(port, ConfiguredPty::LINK_BAUD_FOR_TEST, READ_INTERVAL_MS, failure));
        set_reply_rule(port, ends_in_ee, REPLY_QUIET_MS);
        long inner_gap = 0;
        long after_gap = 0;
        std::thread device([&] {
            pty.send(1);
            pty.send(2);
            auto last = Clock::now();
            pause_ms(6);
            inner_gap = ms_since(last);
            pty.send(3);
            pty.send(0xEE);
            last = Clock::now();
            pause_ms(10);
            after_gap = ms_since(last);
            pty.send(7);
        });
        std::uint8_t buffer[64] = {};
        const std::int32_t first = port_read(port, buffer, sizeof buffer);
        const std::int32_t second = port_read(port, buffer + first, 32);
        device.join();
        close_port(port);
        if (inner_gap >= 15 || after_gap < 5 || after_gap >= 15)
            continue;
        ++judged;
        EXPECT_EQ(first, 4);
        EXPECT_EQ(second, 1);
        EXPECT_EQ(buffer[3], 0xEE);
    }
    EXPECT_GT(judged, 0) << "the machine was too busy to send with the gaps meant";
}

TEST(PortRead, EndsAfterTheTotalTimeoutWhileBytesKeepComing)
{
    ConfiguredPty pty;
    std::thread device([&] {
        for (int i = 0; i < 60; ++i) {
            pty.send(static_cast<std::uint8_t>(i));
            pause_ms(5);
        }
    });
    std::uint8_t buffer[256];
    pause_ms(2);
    const auto start = Clock::now();
    const std::int32_t count = port_read(pty.port, buffer, sizeof buffer);
    const long elapsed = ms_since(start);
    device.join();
    EXPECT_GT(count, 0);
    EXPECT_LT(count, 60);
    EXPECT_GE(elapsed, 90);
    EXPECT_LE(elapsed, 250);
}

TEST(PortRead, AFullBufferReturnsAtOnce)
{
    ConfiguredPty pty;
    for (std::uint8_t b = 0; b < 32; ++b)
        pty.send(b);
    pause_ms(10);
    std::uint8_t buffer[8];
    const auto start = Clock::now();
    EXPECT_EQ(port_read(pty.port, buffer, sizeof buffer), 8);
    EXPECT_LT(ms_since(start), 15);
    EXPECT_EQ(buffer[7], 7);
}

TEST(PortWrite, AFrameArrivesWholeAndUnchanged)
{
    ConfiguredPty pty;
    // Bytes that a cooked line would translate or act on.
    const std::vector<std::uint8_t> frame = {0x04, 0x0a, 0x0d, 0x03, 0x11, 0x13, 0x7f, 0xff};
    EXPECT_EQ(port_write(pty.port, frame.data(), static_cast<std::int32_t>(frame.size())), 8);
    port_flush(pty.port);
    std::vector<std::uint8_t> got(16);
    pause_ms(10);
    const ssize_t n = read(pty.device, got.data(), got.size());
    ASSERT_EQ(n, 8);
    got.resize(8);
    EXPECT_EQ(got, frame);
}

TEST(PortPurge, DiscardsWhatWasReceived)
{
    ConfiguredPty pty;
    pty.send(1);
    pty.send(2);
    pause_ms(10);
    port_purge(pty.port);
    std::uint8_t buffer[8];
    EXPECT_EQ(port_read(pty.port, buffer, sizeof buffer), 0);
}

// Newer kernels force a pseudo-terminal to 8 bits without parity whatever
// is asked; parity can only be checked where the kernel keeps it.
bool pty_keeps_parity()
{
    Pty probe;
    termios line{};
    tcgetattr(probe.port, &line);
    line.c_cflag |= PARENB;
    tcsetattr(probe.port, TCSANOW, &line);
    tcgetattr(probe.port, &line);
    return (line.c_cflag & PARENB) != 0;
}

TEST(ConfigurePort, SetsRaw8E1At921600WithoutFlowControl)
{
    Pty pty;
    PortFailure failure;
    ASSERT_TRUE(configure_port(pty.port, 921600, READ_INTERVAL_MS, failure));
    termios line{};
    ASSERT_EQ(tcgetattr(pty.port, &line), 0);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    if (pty_keeps_parity())
        EXPECT_NE(line.c_cflag & PARENB, 0u);
    else
        std::printf("note: this kernel drops parity on a pseudo-terminal; not checked\n");
    EXPECT_EQ(line.c_cflag & PARODD, 0u);
    EXPECT_EQ(line.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(line.c_cflag & CLOCAL, 0u);
    EXPECT_NE(line.c_cflag & CREAD, 0u);
    EXPECT_EQ(line.c_iflag & (INPCK | IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B921600));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B921600));
}

// Said to the caller, not printed: the caller decides what to do with it.
TEST(ConfigurePort, ANonTerminalFailsWithItsMessage)
{
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    testing::internal::CaptureStderr();
    PortFailure failure;
    EXPECT_FALSE(configure_port(pipe_ends[0], 921600, READ_INTERVAL_MS, failure));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(failure.kind, PortFailureKind::System);
    EXPECT_STREQ(failure.text, "Could not get Port State");
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

// Discovery, pointed at a folder of links to pseudo-terminals.
struct Found {
    std::vector<std::string> paths;
    int selected = 0;
};

PortList list_of(Found& found)
{
    return PortList{&found,
                    [](void* context, const char* path) {
                        static_cast<Found*>(context)->paths.emplace_back(path);
                    },
                    [](void* context) { ++static_cast<Found*>(context)->selected; }};
}

class Discovery : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qdm7-ports-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        unsetenv("QDM7_PORT_GLOB");
        std::filesystem::remove_all(dir);
    }
    void link(const std::string& target, const std::string& name) const
    {
        std::filesystem::create_symlink(target, dir / name);
    }
    void point_discovery_at(const std::string& pattern) const
    {
        setenv("QDM7_PORT_GLOB", (dir.string() + "/" + pattern).c_str(), 1);
    }
    std::filesystem::path dir;
};

TEST_F(Discovery, ListsOpenableTerminalsInNaturalOrder)
{
    Pty a;
    Pty b;
    Pty held;
    link(b.path, "ttyQ10");
    link(a.path, "ttyQ2");
    link(held.path, "ttyQ3");
    link("/nonexistent/tty", "ttyQ4");
    { std::FILE* f = std::fopen((dir / "ttyQ5").c_str(), "w"); ASSERT_NE(f, nullptr); std::fclose(f); }
    link("/dev/ptmx", "ttyQ6"); // opens as a terminal, but is no port
    link("/dev/null", "ttyQ7");
    // Another holder of ttyQ3 keeps it out of the list.
    const int holder = open(held.path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    point_discovery_at("ttyQ*");
    Found found;
    EXPECT_EQ(discover_ports(list_of(found)), 2);
    close(holder);

    const std::vector<std::string> expected = {(dir / "ttyQ2").string(), (dir / "ttyQ10").string()};
    EXPECT_EQ(found.paths, expected);
    EXPECT_EQ(found.selected, 1);
    EXPECT_EQ(port_table[0].number, 1);
    EXPECT_EQ(std::string(port_table[0].path), expected[0]);
    EXPECT_EQ(std::string(port_table[1].path), expected[1]);
}

TEST_F(Discovery, NothingFoundLeavesTheListEmptyAndUnselected)
{
    point_discovery_at("none*");
    Found found;
    EXPECT_EQ(discover_ports(list_of(found)), 0);
    EXPECT_TRUE(found.paths.empty());
    EXPECT_EQ(found.selected, 0);
}

// Windows matches QDM7_PORT_GLOB's patterns so, over the COM names.
TEST(PortNameMatches, GlobsInEitherCaseWithABackslashForItself)
{
    EXPECT_TRUE(port_name_matches("\\\\.\\COM3", "\\\\.\\com3"));
    EXPECT_FALSE(port_name_matches("\\\\.\\com3", "\\\\.\\com30"));
    EXPECT_TRUE(port_name_matches("com1?", "COM12"));
    EXPECT_FALSE(port_name_matches("com1?", "COM1"));
    EXPECT_TRUE(port_name_matches("*com[3-5]", "\\\\.\\com4"));
    EXPECT_FALSE(port_name_matches("com[!3-5]", "com4"));
    EXPECT_TRUE(port_name_matches("com[^3-5]", "com7"));
    EXPECT_TRUE(port_name_matches("COM*", "com"));
    EXPECT_TRUE(port_name_matches("com[3", "COM[3")); // no closing bracket: itself
    EXPECT_FALSE(port_name_matches("", "com3"));
    const std::vector<std::string> patterns = {"COM3", "COM1[0-9]"};
    EXPECT_EQ(split_patterns("COM3;;COM1[0-9]:", ";:"), patterns);
}

// Nothing traced: the opening line is the caller's.
TEST(OpenPort, ReopensAfterClosingAndTracesNothing)
{
    Pty pty;
    testing::internal::CaptureStdout();
    PortFailure failure;
    PortHandle port = open_port(pty.path.c_str(), failure);
    ASSERT_NE(port, INVALID_PORT_HANDLE);
    close_port(port);
    EXPECT_EQ(port, INVALID_PORT_HANDLE);
    close_port(port); // closing again does nothing
    port = open_port(pty.path.c_str(), failure);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(port, INVALID_PORT_HANDLE);
    EXPECT_EQ(failure.kind, PortFailureKind::None);
    EXPECT_TRUE(configure_port(port, 921600, READ_INTERVAL_MS, failure));
    close_port(port);
    EXPECT_EQ(port, INVALID_PORT_HANDLE);
}

TEST(OpenPort, RefusesWhatIsNoSerialPortUnlessAnythingIsTaken)
{
    char dir[] = "/tmp/qdm7-no-port-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    PortFailure failure;
    for (const std::string& path : {std::string(dir), std::string("/dev/ptmx"), std::string("/dev/zero")}) {
        EXPECT_EQ(open_port(path.c_str(), failure), INVALID_PORT_HANDLE) << path;
        EXPECT_TRUE(failure.not_serial()) << path;
    }
    EXPECT_EQ(open_port(nullptr, failure), INVALID_PORT_HANDLE);
    EXPECT_EQ(failure.kind, PortFailureKind::Mistake);
    Pty pty;
    PortHandle port = open_port(pty.path.c_str(), failure);
    EXPECT_NE(port, INVALID_PORT_HANDLE);
    close_port(port);
    // As the dialog opens what its list holds.
    port = open_port("/dev/zero", failure, false);
    EXPECT_NE(port, INVALID_PORT_HANDLE);
    close_port(port);
    rmdir(dir);
}

PortHandle quietly_open(const std::string& path)
{
    PortFailure failure;
    return open_port(path.c_str(), failure);
}

// The far side of a pseudo-terminal closing is what a pulled USB adapter
// looks like: the line hangs up. Silence alone is not a lost port.
TEST(PortLost, AHungUpLineIsLostAndASilentOneIsNot)
{
    Pty pty;
    PortHandle port = quietly_open(pty.path);
    ASSERT_NE(port, INVALID_PORT_HANDLE);
    PortFailure failure;
    ASSERT_TRUE(configure_port(port, 921600, READ_INTERVAL_MS, failure));
    std::uint8_t buffer[16] = {1, 2, 3};
    EXPECT_EQ(port_read(port, buffer, sizeof buffer), 0);
    EXPECT_EQ(port_write(port, buffer, 3), 3);
    EXPECT_FALSE(port_lost(port));

    close(pty.device);
    pty.device = -1;
    const auto start = Clock::now();
    EXPECT_EQ(port_read(port, buffer, sizeof buffer), 0);
    EXPECT_LT(ms_since(start), 50); // not a wait for silence
    EXPECT_TRUE(port_lost(port));
    EXPECT_LT(port_write(port, buffer, 3), 3);
    close_port(port);

    // A port opened again starts afresh.
    Pty next;
    PortHandle again = quietly_open(next.path);
    ASSERT_NE(again, INVALID_PORT_HANDLE);
    EXPECT_FALSE(port_lost(again));
    close_port(again);
}

// A process with many files open: its port's descriptor past 1024 keeps its
// state (the lost flag) as a low one does.
TEST(PortLost, IsKeptForADescriptorPast1024)
{
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit before = limit;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1100)
        GTEST_SKIP() << "this process may not hold 1100 files";
    limit.rlim_cur = 1100;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    Pty pty;
    // Every descriptor below 1024 taken: the port's is the next.
    std::vector<int> fillers;
    while (fillers.empty() || fillers.back() < 1023) {
        fillers.push_back(open("/dev/null", O_RDONLY));
        ASSERT_GE(fillers.back(), 0);
    }
    PortHandle port = quietly_open(pty.path);
    ASSERT_GE(port, 1024);
    close(pty.device);
    pty.device = -1;
    std::uint8_t buffer[4];
    EXPECT_EQ(port_read(port, buffer, sizeof buffer), 0);
    EXPECT_TRUE(port_lost(port));
    close_port(port);
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &before);
}

TEST(OpenPort, APortHeldByAnotherIsRefusedWithTheSystemText)
{
    Pty pty;
    PortHandle holder = quietly_open(pty.path);
    ASSERT_NE(holder, INVALID_PORT_HANDLE);
    PortFailure failure;
    EXPECT_EQ(open_port(pty.path.c_str(), failure), INVALID_PORT_HANDLE);
    EXPECT_EQ(failure.kind, PortFailureKind::System);
    EXPECT_EQ(failure.code, static_cast<unsigned long>(EBUSY));
    EXPECT_STREQ(failure.text, "Device or resource busy");
    EXPECT_FALSE(failure.absent);
    close_port(holder);
}

TEST(OpenPort, AMissingPortIsRefusedAsAbsentWithTheSystemText)
{
    PortFailure failure;
    EXPECT_EQ(open_port("/dev/qdm7-no-such-port", failure), INVALID_PORT_HANDLE);
    EXPECT_EQ(failure.kind, PortFailureKind::System);
    EXPECT_EQ(failure.code, 2u);
    EXPECT_STREQ(failure.text, "No such file or directory");
    EXPECT_TRUE(failure.absent);
}

} // namespace
