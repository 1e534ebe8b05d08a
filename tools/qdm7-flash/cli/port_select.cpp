#include "tools/qdm7-flash/cli/port_select.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

constexpr std::size_t PREFIX_LENGTH = 4; // "usb:"

bool parse_hex16(const std::string& text, std::uint16_t& value)
{
    if (text.empty() || text.size() > 4)
        return false;
    unsigned parsed = 0;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0)
            return false;
        const int digit = std::isdigit(static_cast<unsigned char>(c)) != 0
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        parsed = parsed * 16 + static_cast<unsigned>(digit);
    }
    value = static_cast<std::uint16_t>(parsed);
    return true;
}

std::string hex4(std::uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
    return text;
}

const char* kind_text(PortKind kind)
{
    switch (kind) {
    case PortKind::OnBoard: return "on-board serial port";
    case PortKind::Bluetooth: return "Bluetooth serial port";
    case PortKind::PseudoTerminal: return "pseudo-terminal";
    default: return "";
    }
}

std::string or_dash(const std::string& text) { return text.empty() ? "-" : text; }

} // namespace

bool is_usb_selector(const std::string& text)
{
    if (text.size() < PREFIX_LENGTH)
        return false;
    std::string prefix = text.substr(0, PREFIX_LENGTH);
    std::transform(prefix.begin(), prefix.end(), prefix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return prefix == "usb:";
}

bool parse_usb_selector(const std::string& text, UsbSelector& selector, std::string& error)
{
    selector = UsbSelector{};
    const auto fail = [&](const std::string& what) {
        error = "--port " + text + ": " + what + "; the form is usb:VID:PID or usb:VID:PID:SERIAL, "
                "such as usb:0403:6001";
        return false;
    };
    if (!is_usb_selector(text))
        return fail("not a USB selection");
    const std::string rest = text.substr(PREFIX_LENGTH);
    const std::size_t colon = rest.find(':');
    if (colon == std::string::npos)
        return fail("no product number");
    const std::size_t second = rest.find(':', colon + 1);
    const std::string vid = rest.substr(0, colon);
    const std::string pid = rest.substr(colon + 1, second == std::string::npos ? std::string::npos : second - colon - 1);
    if (!parse_hex16(vid, selector.vid))
        return fail("the vendor number '" + vid + "' is not 1 to 4 hexadecimal digits");
    if (!parse_hex16(pid, selector.pid))
        return fail("the product number '" + pid + "' is not 1 to 4 hexadecimal digits");
    if (second != std::string::npos) {
        selector.serial = rest.substr(second + 1);
        if (selector.serial.empty())
            return fail("the serial number after the last colon is empty");
    }
    return true;
}

std::string usb_selector_text(const UsbSelector& selector)
{
    std::string text = "usb:" + hex4(selector.vid) + ":" + hex4(selector.pid);
    if (!selector.serial.empty())
        text += ":" + selector.serial;
    return text;
}

std::vector<PortIdentity> matching_ports(const std::vector<PortIdentity>& ports, const UsbSelector& selector)
{
    std::vector<PortIdentity> found;
    for (const PortIdentity& port : ports) {
        if (port.kind == PortKind::Usb && port.usb_vid == selector.vid && port.usb_pid == selector.pid &&
            (selector.serial.empty() || port.serial == selector.serial))
            found.push_back(port);
    }
    return found;
}

std::vector<PortIdentity> usb_ports(const std::vector<PortIdentity>& ports)
{
    std::vector<PortIdentity> found;
    std::copy_if(ports.begin(), ports.end(), std::back_inserter(found),
                 [](const PortIdentity& port) { return port.kind == PortKind::Usb; });
    return found;
}

std::vector<std::string> port_lines(const std::vector<PortIdentity>& ports, bool header)
{
    using Row = std::vector<std::string>;
    std::vector<Row> rows;
    if (header)
        rows.push_back({"PORT", "VID:PID", "MANUFACTURER", "PRODUCT", "SERIAL NUMBER"});
    for (const PortIdentity& port : ports) {
        if (port.kind == PortKind::Usb)
            rows.push_back({port.path, hex4(port.usb_vid) + ":" + hex4(port.usb_pid), or_dash(port.manufacturer),
                            or_dash(port.product), or_dash(port.serial)});
        else
            rows.push_back({port.path, kind_text(port.kind)});
    }
    // Each column as wide as its widest entry, but a column that ends every
    // row it is in, such as a kind, pads nothing after it.
    std::vector<std::size_t> widths;
    for (const Row& row : rows) {
        for (std::size_t column = 0; column + 1 < row.size(); ++column) {
            if (widths.size() <= column)
                widths.push_back(0);
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    std::vector<std::string> lines;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size())
                line += std::string(widths[column] - row[column].size() + 2, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
    }
    return lines;
}
