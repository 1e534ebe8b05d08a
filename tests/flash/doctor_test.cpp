// The --doctor report from made-up facts: what counts as in the way, the
// fix each finding carries, and a width that fits an 80-column terminal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/qdm7-flash/doctor/doctor.h"

namespace {

DoctorPort usb_port(const char* path, std::uint16_t vid, std::uint16_t pid, UdevMark mark)
{
    DoctorPort port;
    port.identity.path = path;
    port.identity.kind = PortKind::Usb;
    port.identity.usb_vid = vid;
    port.identity.usb_pid = pid;
    port.identity.product = "FT232R USB UART";
    port.access.owner = "root";
    port.access.owner_group = "dialout";
    port.access.mode = 0660;
    port.access.in_group = true;
    port.access.user = "ann";
    port.holders.looked = true;
    port.udev = mark;
    return port;
}

DoctorFacts machine(std::vector<DoctorPort> ports)
{
    DoctorFacts facts;
    facts.version = "1.2.3";
    facts.image_length = 1573624;
    facts.padded_length = 1589248;
    facts.blocks = 97;
    facts.image_crc = 0x0c2f;
    facts.ports = std::move(ports);
    facts.probers = {{"ModemManager", {}}, {"brltty", {}}};
    return facts;
}

std::string text_of(const DoctorReport& report)
{
    std::string text;
    for (const std::string& line : report.lines) {
        EXPECT_LE(line.size(), DOCTOR_COLUMNS) << line;
        text += line + "\n";
    }
    return text;
}

bool has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

// A wrapped sentence as one line again.
std::string unwrapped(const std::string& text)
{
    std::string flat;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\n') {
            flat += text[at];
            continue;
        }
        flat += ' ';
        while (at + 1 < text.size() && text[at + 1] == ' ')
            ++at;
    }
    return flat;
}

TEST(DoctorReport, AReadyMachineHasNothingInTheWayAndASampleImageOnlyWarns)
{
    DoctorFacts facts = machine({usb_port("/dev/ttyUSB0", 0x0403, 0x6001, UdevMark::Ignored)});
    facts.sample_image = true;
    facts.probers[0].pids = {812};
    const DoctorReport report = doctor_report(facts);
    const std::string text = text_of(report);
    EXPECT_EQ(report.in_the_way, 0) << text;
    EXPECT_TRUE(has(text, "image: 1573624 bytes, padded to 1589248 (97 blocks), CRC 0x0c2f\n")) << text;
    EXPECT_TRUE(has(text, "sample image (not a release)")) << text;
    facts.image_length = 5000;
    facts.padded_length = 16384;
    facts.blocks = 1;
    EXPECT_TRUE(has(text_of(doctor_report(facts)), "image: 5000 bytes, padded to 16384 (1 block), CRC")) << text;
    EXPECT_TRUE(has(text, "/dev/ttyUSB0  0403:6001")) << text;
    EXPECT_TRUE(has(text, "  can open: yes (root:dialout 660; this user is in dialout)\n")) << text;
    EXPECT_TRUE(has(text, "  in use by nobody\n")) << text;
    EXPECT_TRUE(has(text, "ID_MM_DEVICE_IGNORE=1")) << text;
    EXPECT_TRUE(has(unwrapped(text), "(pid 812); it opens each serial port that appears")) << text;
    EXPECT_TRUE(has(unwrapped(text), "every USB port here is marked to be left alone")) << text;
    EXPECT_EQ(report.lines.back(), "nothing in the way");
}

TEST(DoctorReport, AGivenPortThatCannotBeHadAndAnUnmarkedPortUnderModemManagerAreInTheWay)
{
    DoctorPort held = usb_port("/dev/ttyUSB0", 0x0403, 0x6001, UdevMark::NotIgnored);
    held.given = true;
    held.holders.known = {{4410, "minicom"}};
    DoctorPort refused = usb_port("/dev/ttyACM0", 0x1a86, 0x7523, UdevMark::NotIgnored);
    refused.given = true;
    refused.access.allowed = false;
    refused.access.in_group = false;
    refused.access.text = "it belongs to group dialout (mode 660) and ann is not in that group; add the user "
                          "with: sudo usermod -aG dialout ann, then log out and in again";
    DoctorFacts facts = machine({held, refused, usb_port("/dev/ttyUSB1", 0x0403, 0x6001, UdevMark::NotIgnored)});
    facts.probers[0].pids = {812};
    facts.probers[1].pids = {90, 91};
    const DoctorReport report = doctor_report(facts);
    const std::string text = text_of(report);
    // The holder, the refusal, ModemManager and brltty.
    EXPECT_EQ(report.in_the_way, 4) << text;
    EXPECT_TRUE(has(text, "  in use by minicom (pid 4410)\n  fix: close that program")) << text;
    EXPECT_TRUE(has(text, "  can open: no (root:dialout 660; this user is not in dialout)\n")) << text;
    EXPECT_TRUE(has(unwrapped(text), "sudo usermod -aG dialout ann")) << text;
    EXPECT_TRUE(has(text, "ModemManager: running (pid 812)")) << text;
    EXPECT_TRUE(has(text, "brltty: running (pids 90 and 91)")) << text;
    EXPECT_TRUE(has(text, "/etc/udev/rules.d/70-qdm7.rules")) << text;
    EXPECT_TRUE(has(text, "sudo udevadm control --reload && sudo udevadm trigger")) << text;
    // One rule per USB device, however many of its ports there are.
    const std::string rule = "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", \\\n"
                             "      ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\"\n";
    EXPECT_EQ(text.find(rule), text.rfind(rule)) << text;
    EXPECT_TRUE(has(text, rule)) << text;
    EXPECT_TRUE(has(text, "ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\"")) << text;
    EXPECT_EQ(report.lines.back(), "4 things in the way");

    // Not named with --port, a port that cannot be had is said with its
    // fix, but any port might be the QDM7: it is not counted.
    for (DoctorPort& port : facts.ports)
        port.given = false;
    const DoctorReport unnamed = doctor_report(facts);
    EXPECT_EQ(unnamed.in_the_way, 2);
    EXPECT_TRUE(has(text_of(unnamed), "  in use by minicom (pid 4410)\n  fix: close that program")) << text_of(unnamed);
}

TEST(DoctorReport, NoPortIsInTheWayAndWhatIsNotCheckedIsSaid)
{
    const DoctorReport none = doctor_report(machine({}));
    EXPECT_EQ(none.in_the_way, 1);
    EXPECT_TRUE(has(text_of(none), "no serial port found\n  fix: ")) << text_of(none);

    DoctorFacts unknown = machine({usb_port("/dev/ttyUSB0", 0x0403, 0x6001, UdevMark::NotChecked)});
    unknown.probers[0].pids = {812};
    const DoctorReport without_udev = doctor_report(unknown);
    EXPECT_EQ(without_udev.in_the_way, 0);
    EXPECT_TRUE(has(text_of(without_udev), "  udev: not running here; not checked\n")) << text_of(without_udev);

    DoctorFacts windows = machine({usb_port("\\\\.\\com3", 0, 0, UdevMark::NotChecked)});
    windows.ports[0].identity.kind = PortKind::Unknown;
    windows.system_checked = false;
    windows.probers.clear();
    const std::string text = text_of(doctor_report(windows));
    EXPECT_TRUE(has(text, "\\\\.\\com3\nnot checked on Windows: ")) << text;
    EXPECT_FALSE(has(text, "can open")) << text;
}

} // namespace
