// The doctor's report: made from the facts alone, so that it reads the same
// for made-up facts as for a machine's.
#include <algorithm>

#include "tools/qdm7-flash/cli/port_select.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/doctor/doctor.h"
#include "tools/qdm7-flash/view/job_view.h"

namespace {

// The logged-in user's access (TAG "uaccess") is given by
// 73-seat-late.rules, so the rule must come before it.
constexpr const char* RULE_FILE = "/etc/udev/rules.d/70-qdm7.rules";

// text broken at blanks so that each line fits DOCTOR_COLUMNS where its
// words let it: the first line after first, the others after rest.
void add_wrapped(DoctorReport& report, const std::string& first, const std::string& rest, const std::string& text)
{
    std::string line = first;
    bool bare = true; // no word on the line yet
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        const std::string word = text.substr(at, end - at);
        at = end + 1;
        if (word.empty())
            continue;
        if (!bare && line.size() + 1 + word.size() > DOCTOR_COLUMNS) {
            report.lines.push_back(line);
            line = rest;
            bare = true;
        }
        line += (bare ? "" : " ") + word;
        bare = false;
    }
    report.lines.push_back(line);
}

// A finding that keeps an update from running, and its fix.
void add_in_the_way(DoctorReport& report, const std::string& fix)
{
    add_wrapped(report, "  fix: ", "    ", fix);
    ++report.in_the_way;
}

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    return text;
}

std::string pids_text(const std::vector<int>& pids)
{
    std::vector<std::string> numbers;
    for (const int pid : pids)
        numbers.push_back(std::to_string(pid));
    return (pids.size() == 1 ? "pid " : "pids ") + joined(numbers);
}

// "root:dialout 660; this user is in dialout"
std::string ownership_text(const PortAccess& access)
{
    std::string text = access.owner + ":" + access.owner_group + printed(" %03o; ", access.mode);
    if (!access.allowed)
        return text + (access.in_group ? "the group may not read and write it"
                                       : "this user is not in " + access.owner_group);
    if (access.owner == access.user)
        return text + "this user owns it";
    if (access.in_group)
        return text + "this user is in " + access.owner_group;
    if (access.user == "root")
        return text + "this user is root";
    return text + "its mode lets anyone open it";
}

// A finding with its fix: in the way for a port named with --port; for
// another, any of which might be the QDM7's, the fix is only said.
void add_finding_fix(DoctorReport& report, const DoctorPort& port, const std::string& fix)
{
    if (port.given)
        add_in_the_way(report, fix);
    else
        add_wrapped(report, "  fix: ", "    ", fix);
}

// The port's heading and whether it is there; where the system tells more
// (not on Windows), who may open and who holds it, and udev's mark.
void add_port(DoctorReport& report, const DoctorPort& port, const std::string& heading, bool system_checked)
{
    report.lines.push_back(heading);
    if (port.node != PortNode::Device) {
        report.lines.push_back(port.node == PortNode::Missing ? "  not there: no such port"
                                                              : "  not a serial port: nothing to update there");
        if (port.given)
            add_in_the_way(report, "plug the device in, or name a port that qdm7-flash --list shows");
        return;
    }
    if (!system_checked)
        return;
    const PortAccess& access = port.access;
    report.lines.push_back(std::string("  can open: ") + (access.allowed ? "yes" : "no") +
                           (access.owner.empty() ? "" : " (" + ownership_text(access) + ")"));
    if (!access.allowed)
        add_finding_fix(report, port, access.text);
    const PortHolders& holders = port.holders;
    if (!holders.known.empty()) {
        add_wrapped(report, "  in use by ", "    ", holder_names(holders.known));
        add_finding_fix(report, port, "close that program, or choose another port");
    } else if (!holders.looked) {
        report.lines.push_back("  in use: not known here");
    } else {
        report.lines.push_back(holders.hidden ? "  in use by nobody this user can see" : "  in use by nobody");
    }
    if (port.identity.kind != PortKind::Usb)
        return;
    switch (port.udev) {
    case UdevMark::Ignored:
        report.lines.push_back("  ModemManager: told to leave it alone (ID_MM_DEVICE_IGNORE=1)");
        break;
    case UdevMark::NotIgnored:
        report.lines.push_back("  ModemManager: not told to leave it alone (no ID_MM_DEVICE_IGNORE)");
        break;
    case UdevMark::NotChecked:
        report.lines.push_back("  udev: not running here; not checked");
        break;
    }
}

// The rule for each USB device among ports, each VID:PID once, written on
// two lines (udev joins a line that ends in a backslash with the next).
void add_rules(DoctorReport& report, const std::vector<const DoctorPort*>& ports)
{
    std::vector<std::string> written;
    for (const DoctorPort* port : ports) {
        const std::string rule = printed("    SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"%04x\", "
                                         "ATTRS{idProduct}==\"%04x\", \\",
                                         port->identity.usb_vid, port->identity.usb_pid);
        if (std::find(written.begin(), written.end(), rule) != written.end())
            continue;
        written.push_back(rule);
        report.lines.push_back(rule);
        report.lines.push_back("      ENV{ID_MM_DEVICE_IGNORE}=\"1\", TAG+=\"uaccess\"");
    }
}

void add_prober(DoctorReport& report, const DoctorFacts& facts, const PortProber& prober)
{
    if (prober.pids.empty()) {
        report.lines.push_back(prober.name + ": not running");
        return;
    }
    std::vector<const DoctorPort*> unmarked;
    std::vector<std::string> unmarked_paths;
    int usb = 0;
    int unchecked = 0;
    for (const DoctorPort& port : facts.ports) {
        if (port.identity.kind != PortKind::Usb || port.node != PortNode::Device)
            continue;
        ++usb;
        unchecked += port.udev == UdevMark::NotChecked;
        if (port.udev == UdevMark::NotIgnored) {
            unmarked.push_back(&port);
            unmarked_paths.push_back(port.identity.path);
        }
    }
    const bool modem_manager = prober.name == "ModemManager";
    std::string text = prober.name + ": running (" + pids_text(prober.pids) + "); " +
                       (modem_manager ? "it opens each serial port that appears, to look for a modem, and "
                                        "so gets in the way of an update"
                                      : "it takes some USB serial adapters for braille displays and holds "
                                        "their ports");
    if (!unmarked.empty())
        text += "; " + joined(unmarked_paths) + (unmarked.size() == 1 ? " is" : " are") +
                " not marked to be left alone";
    else if (usb == 0)
        text += "; no USB port here for it to take";
    else if (unchecked > 0)
        text += "; udev does not run here, so whether it leaves the USB ports alone was not checked";
    else
        text += "; every USB port here is marked to be left alone";
    add_wrapped(report, "", "  ", text);
    if (unmarked.empty())
        return;
    if (!modem_manager) {
        add_in_the_way(report, "if no braille display is used here: sudo apt remove brltty; or keep it from "
                               "taking adapters: sudo systemctl mask brltty-udev.service");
        return;
    }
    add_in_the_way(report, std::string("put this rule in ") + RULE_FILE + ":");
    add_rules(report, unmarked);
    report.lines.push_back("    then: sudo udevadm control --reload && sudo udevadm trigger");
}

} // namespace

DoctorReport doctor_report(const DoctorFacts& facts)
{
    DoctorReport report;
    report.lines.push_back("qdm7-flash doctor, version " + facts.version);
    if (facts.image_too_long) {
        report.lines.push_back(printed("image: %lu bytes, too long to program",
                                       static_cast<unsigned long>(facts.image_length)));
        add_in_the_way(report, "build qdm7-flash with the QDM7's firmware image");
    } else {
        report.lines.push_back(printed("image: %lu bytes, padded to %ld (%s), CRC 0x%04x",
                                       static_cast<unsigned long>(facts.image_length),
                                       static_cast<long>(facts.padded_length), counted(facts.blocks, "block").c_str(),
                                       static_cast<unsigned>(facts.image_crc)));
    }
    if (facts.sample_image)
        add_wrapped(report, "", "  ", std::string(SAMPLE_IMAGE_WARNING) + "; fine for a trial, not in the way");

    for (const std::string& note : facts.notes)
        add_wrapped(report, "", "  ", note);
    for (const ChoiceFailure& failure : facts.choice_failures) {
        add_wrapped(report, "", "  ", failure.text);
        for (const std::string& line : port_lines(failure.listed, false))
            report.lines.push_back("  " + line);
        add_in_the_way(report, "plug the device in, or name a port that qdm7-flash --list shows");
    }
    if (facts.choice_failures.empty() && facts.ports.empty()) {
        report.lines.push_back("no serial port found");
        add_in_the_way(report, "plug in the QDM7's serial adapter, then see qdm7-flash --list");
    }

    std::vector<PortIdentity> identities;
    for (const DoctorPort& port : facts.ports)
        identities.push_back(port.identity);
    const std::vector<std::string> headings = port_lines(identities, false);
    for (std::size_t i = 0; i < facts.ports.size(); ++i)
        add_port(report, facts.ports[i], headings[i], facts.system_checked);
    if (!facts.system_checked)
        report.lines.push_back("not checked on Windows: who may open or holds a port, ModemManager, brltty, udev");
    for (const PortProber& prober : facts.probers)
        add_prober(report, facts, prober);

    report.lines.push_back(report.in_the_way == 0   ? "nothing in the way"
                           : report.in_the_way == 1 ? "1 thing in the way"
                                                    : printed("%d things in the way", report.in_the_way));
    return report;
}
