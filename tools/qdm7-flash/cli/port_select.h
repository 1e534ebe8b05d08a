// Choosing a port by the USB identity of the device behind it
// ("usb:VID:PID[:SERIAL]"), and the port list, one line a port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/port_identity.h"

struct UsbSelector {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string serial; // empty: any serial number
};

// Whether a --port value is meant as a USB selection: it starts with "usb:",
// in any case.
bool is_usb_selector(const std::string& text);

// Parses "usb:VID:PID[:SERIAL]": VID and PID of 1 to 4 hexadecimal digits in
// either case, SERIAL everything after the colon that follows PID, to be
// matched exactly, and not empty when its colon is there. False for
// anything else, with error saying what is wrong.
bool parse_usb_selector(const std::string& text, UsbSelector& selector, std::string& error);

// The selector written back in its usual form: "usb:0403:6001" or
// "usb:0403:6001:SERIAL".
std::string usb_selector_text(const UsbSelector& selector);

// Every port among ports that selector matches, in their order: USB ports
// with its vendor and product, and its serial number if it names one.
std::vector<PortIdentity> matching_ports(const std::vector<PortIdentity>& ports, const UsbSelector& selector);

// The USB ports among ports.
std::vector<PortIdentity> usb_ports(const std::vector<PortIdentity>& ports);

// One line a port: its path, then for a USB port its VID:PID in lower-case
// hexadecimal, manufacturer, product and serial number ("-" for one it does
// not report), for another what kind of port it is, and nothing more where
// nothing is known. Columns aligned, two blanks apart, no trailing blanks.
// With header, a first line names the columns.
std::vector<std::string> port_lines(const std::vector<PortIdentity>& ports, bool header);
