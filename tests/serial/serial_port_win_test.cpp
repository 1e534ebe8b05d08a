// The Windows serial port under Wine, against a pseudo-terminal that the
// driving script maps as a COM port (QDM7_TEST_COM, e.g. \\.\com7) and
// whose other side echoes what it receives.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/report.h"
#include "platform/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string mapped_port()
{
    const char* port = std::getenv("QDM7_TEST_COM");
    return port != nullptr ? port : "";
}

struct Found {
    std::vector<std::string> paths;
    int selected = 0;
};

TEST(WinSerial, DiscoveryListsTheMappedPortByItsFullPath)
{
    const std::string port = mapped_port();
    ASSERT_FALSE(port.empty()) << "QDM7_TEST_COM is not set";
    Found found;
    const PortList list{&found,
                        [](void* context, const char* path) {
                            static_cast<Found*>(context)->paths.emplace_back(path);
                        },
                        [](void* context) { ++static_cast<Found*>(context)->selected; }};
    const int count = discover_ports(list);
    ASSERT_EQ(count, static_cast<int>(found.paths.size()));
    EXPECT_EQ(found.selected, 1);

    int at = -1;
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(found.paths[static_cast<std::size_t>(i)], port_table[i].path);
        EXPECT_EQ(found.paths[static_cast<std::size_t>(i)],
                  "\\\\.\\com" + std::to_string(port_table[i].number));
        if (i > 0) {
            EXPECT_GT(port_table[i].number, port_table[i - 1].number); // ascending
        }
        if (found.paths[static_cast<std::size_t>(i)] == port)
            at = i;
    }
    EXPECT_GE(at, 0) << port << " not found";
    EXPECT_EQ(port_table[count].number, 0); // the table ends after the last port
}

// The names Device Manager shows are the ports discovery lists; so are
// QDM7_PORT_GLOB's patterns over them, which narrow the look.
TEST(WinSerial, ComNamesAndPatternsNameTheMappedPort)
{
    const std::string port = mapped_port();
    ASSERT_EQ(port.rfind("\\\\.\\com", 0), 0u) << port;
    const std::string name = "COM" + port.substr(7);
    for (const std::string& given : {name, "com" + port.substr(7), "\\\\.\\" + name, port})
        EXPECT_EQ(port_path_of(given), port) << given;
    EXPECT_EQ(port_path_of("COM250"), "\\\\.\\com250");
    for (const char* other : {"COM0", "COM07", "COMX", "COM", "C:\\notes.txt", "\\\\.\\pipe\\x"})
        EXPECT_EQ(port_path_of(other), other);
    EXPECT_TRUE(port_present(port.c_str()));
    EXPECT_FALSE(port_present("\\\\.\\com250"));

    ASSERT_EQ(_putenv_s("QDM7_PORT_GLOB", (name + ";\\\\.\\com25?").c_str()), 0);
    const std::vector<std::string> chosen = port_paths(false);
    ASSERT_EQ(_putenv_s("QDM7_PORT_GLOB", ""), 0);
    EXPECT_EQ(chosen, std::vector<std::string>{port});
}

TEST(WinSerial, OpensConfiguresReadsAndWritesTheMappedPort)
{
    const std::string port = mapped_port();
    ASSERT_FALSE(port.empty()) << "QDM7_TEST_COM is not set";
    PortFailure failure;
    PortHandle handle = open_port(port.c_str(), failure);
    ASSERT_NE(handle, INVALID_PORT_HANDLE) << failure.text;
    ASSERT_TRUE(configure_port(handle, 921600, READ_INTERVAL_MS, failure));

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(reinterpret_cast<HANDLE>(handle), &dcb));
    EXPECT_EQ(dcb.BaudRate, 921600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    // Parity is not read back: Wine reports the pseudo-terminal's termios,
    // and newer Linux kernels force a pty to no parity whatever is asked.
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(reinterpret_cast<HANDLE>(handle), &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, READ_INTERVAL_MS);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, READ_TOTAL_MS);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);

    std::uint8_t buffer[64];
    auto start = Clock::now();
    EXPECT_EQ(port_read(handle, buffer, sizeof buffer), 0);
    const long silent_ms = ms_since(start);
    EXPECT_GE(silent_ms, 80);
    EXPECT_LE(silent_ms, 400);

    // The peer echoes: one write comes back as one read.
    const std::uint8_t frame[] = {0x04, 0xF3, 0x03, 0x0a, 0x0d, 0x11, 0x13, 0xff};
    port_purge(handle);
    EXPECT_EQ(port_write(handle, frame, sizeof frame), 8);
    port_flush(handle);
    const std::int32_t got = port_read(handle, buffer, sizeof buffer);
    ASSERT_EQ(got, 8);
    EXPECT_EQ(std::memcmp(buffer, frame, sizeof frame), 0);

    // With a reply rule, the read ends once the bytes pass its test.
    set_reply_rule(handle, [](const std::uint8_t* bytes, std::int32_t count) { return count == 8 && bytes[7] == 0xff; },
                   REPLY_QUIET_MS);
    EXPECT_EQ(port_write(handle, frame, sizeof frame), 8);
    EXPECT_EQ(port_read(handle, buffer, sizeof buffer), 8);
    EXPECT_EQ(std::memcmp(buffer, frame, sizeof frame), 0);
    start = Clock::now();
    EXPECT_EQ(port_read(handle, buffer, sizeof buffer), 0);
    EXPECT_GE(ms_since(start), 80); // silence still waits the whole total

    close_port(handle);
    EXPECT_EQ(handle, INVALID_PORT_HANDLE);
}

TEST(WinSerial, AnAbsentPortIsRefusedWithTheSystemsCodeAndText)
{
    PortFailure failure;
    EXPECT_EQ(open_port("\\\\.\\com250", failure), INVALID_PORT_HANDLE);
    EXPECT_EQ(failure.kind, PortFailureKind::System);
    EXPECT_TRUE(failure.absent);
    EXPECT_NE(failure.code, 0u);
    EXPECT_GT(std::strlen(failure.text), 0u);
}

} // namespace
