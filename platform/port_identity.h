// Who is behind a serial port, as far as the system can tell: for a USB
// adapter its vendor and product numbers, manufacturer, product and serial
// number, which name a device however its port happens to be numbered.
// One implementation per platform, chosen by the build; safe to call from
// several threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class PortKind : std::uint8_t {
    Unknown,        // the system says nothing about it
    Usb,            // a USB serial adapter or a USB device's own port
    OnBoard,        // a UART of the machine itself
    Bluetooth,
    PseudoTerminal, // a program's terminal, such as a simulated device
};

struct PortIdentity {
    std::string path;
    PortKind kind = PortKind::Unknown;
    // Usb only. The strings are as the device reports them, empty when it
    // reports none.
    std::uint16_t usb_vid = 0;
    std::uint16_t usb_pid = 0;
    std::string manufacturer;
    std::string product;
    std::string serial;
};

// The identity of the port at path; kind Unknown when the system has none
// for it (no such port, or nothing known).
PortIdentity port_identity(const char* path);

// The ports discovery looks at (port_paths in serial_port.h), each with its
// identity: with usable_only those free to open now, which is what lists
// show, otherwise also those another program holds.
std::vector<PortIdentity> find_ports(bool usable_only);

// False where this platform cannot tell any port's USB identity (its
// identities are then all Unknown).
bool port_identity_available();
