// Choosing a port by USB identity and the port list's lines, in-process,
// on lists of port identities: no hardware needed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qdm7-flash/cli/port_choice.h"
#include "tools/qdm7-flash/cli/port_select.h"

namespace {

PortIdentity usb(const char* path, std::uint16_t vid, std::uint16_t pid, const char* serial,
                 const char* manufacturer = "FTDI", const char* product = "FT232R USB UART")
{
    return PortIdentity{path, PortKind::Usb, vid, pid, manufacturer, product, serial};
}

PortIdentity plain(const char* path, PortKind kind) { return PortIdentity{path, kind, 0, 0, "", "", ""}; }

TEST(UsbSelector, ParsesHexInEitherCaseAndAnExactSerialNumber)
{
    UsbSelector selector;
    std::string error;
    ASSERT_TRUE(parse_usb_selector("usb:0403:6001", selector, error)) << error;
    EXPECT_EQ(selector.vid, 0x0403);
    EXPECT_EQ(selector.pid, 0x6001);
    EXPECT_EQ(selector.serial, "");
    ASSERT_TRUE(parse_usb_selector("USB:AbCd:f:ser:ial 1", selector, error)) << error;
    EXPECT_EQ(selector.vid, 0xabcd);
    EXPECT_EQ(selector.pid, 0xf);
    EXPECT_EQ(selector.serial, "ser:ial 1"); // everything after PID's colon, as it is
    EXPECT_EQ(usb_selector_text(selector), "usb:abcd:000f:ser:ial 1");
    EXPECT_FALSE(is_usb_selector("/dev/ttyUSB0"));
    EXPECT_FALSE(is_usb_selector("usb"));

    for (const char* wrong : {"usb:", "usb:0403", "usb:0403:", "usb::6001", "usb:04g3:6001", "usb:10403:6001",
                              "usb:0403:6001:", "usb:0x403:6001", "usb: 403:6001"}) {
        EXPECT_FALSE(parse_usb_selector(wrong, selector, error)) << wrong;
        EXPECT_EQ(error.rfind(std::string("--port ") + wrong + ": ", 0), 0u) << error;
        EXPECT_NE(error.find("usb:VID:PID"), std::string::npos) << error;
    }
}

TEST(UsbSelector, MatchesEveryPortOfTheDeviceAndTheSerialNumberExactly)
{
    const std::vector<PortIdentity> ports = {
        plain("/dev/ttyS0", PortKind::OnBoard),
        usb("/dev/ttyUSB0", 0x0403, 0x6001, "QDM7-0001"),
        usb("/dev/ttyUSB1", 0x0403, 0x6015, "QDM7-0001"),
        usb("/dev/ttyUSB2", 0x0403, 0x6001, "QDM7-0002"),
        usb("/dev/ttyACM0", 0x0403, 0x6001, ""),
    };
    const auto paths = [&ports](const char* text) {
        UsbSelector selector;
        std::string error;
        EXPECT_TRUE(parse_usb_selector(text, selector, error)) << error;
        std::vector<std::string> found;
        for (const PortIdentity& port : matching_ports(ports, selector))
            found.push_back(port.path);
        return found;
    };
    using Paths = std::vector<std::string>;
    EXPECT_EQ(paths("usb:0403:6001"), (Paths{"/dev/ttyUSB0", "/dev/ttyUSB2", "/dev/ttyACM0"}));
    EXPECT_EQ(paths("usb:403:6001:QDM7-0002"), (Paths{"/dev/ttyUSB2"}));
    EXPECT_EQ(paths("usb:0403:6015"), (Paths{"/dev/ttyUSB1"}));
    EXPECT_EQ(paths("usb:0403:6001:qdm7-0002"), Paths{});
    EXPECT_EQ(paths("usb:0403:6001:QDM7-000"), Paths{});
    EXPECT_EQ(paths("usb:1234:6001"), Paths{});
    EXPECT_EQ(usb_ports(ports).size(), 4u);
}

TEST(PortLines, OneAlignedLineAPortWithTheHeaderOnlyWhenAsked)
{
    const std::vector<PortIdentity> ports = {
        usb("/dev/ttyUSB0", 0x0403, 0x6001, "QDM7-0001", "QEMU", "QEMU USB SERIAL"),
        usb("/dev/ttyACM10", 0x2e8a, 0x000a, "", "", "Pico"),
        plain("/dev/ttyS0", PortKind::OnBoard),
        plain("/dev/pts/7", PortKind::PseudoTerminal),
        plain("\\\\.\\com3", PortKind::Unknown),
    };
    const std::vector<std::string> expected = {
        "/dev/ttyUSB0   0403:6001  QEMU  QEMU USB SERIAL  QDM7-0001",
        "/dev/ttyACM10  2e8a:000a  -     Pico             -",
        "/dev/ttyS0     on-board serial port",
        "/dev/pts/7     pseudo-terminal",
        "\\\\.\\com3",
    };
    EXPECT_EQ(port_lines(ports, false), expected);
    const std::vector<std::string> with_header = port_lines(ports, true);
    ASSERT_EQ(with_header.size(), expected.size() + 1);
    EXPECT_EQ(with_header[0], "PORT           VID:PID    MANUFACTURER  PRODUCT          SERIAL NUMBER");
    EXPECT_EQ(with_header[1], "/dev/ttyUSB0   0403:6001  QEMU          QEMU USB SERIAL  QDM7-0001");
    EXPECT_TRUE(port_lines({}, true).size() == 1 && port_lines({}, false).empty());
}

// A watch's head line names what it looks at: the ports given, its usb:
// selections, or (without QDM7_PORT_GLOB) every port there is.
TEST(WatchedText, NamesWhatTheWatchLooksAt)
{
    UsbSelector selector;
    std::string error;
    ASSERT_TRUE(parse_usb_selector("usb:0403:6001", selector, error)) << error;
    EXPECT_EQ(watched_text({{"/dev/ttyUSB0", {}}, {"/dev/ttyUSB1", {}}}), "/dev/ttyUSB0, /dev/ttyUSB1");
    EXPECT_EQ(watched_text({{"usb:0403:6001", selector}}), "usb:0403:6001");
    EXPECT_EQ(watched_text({}), "every serial port");
}

} // namespace
