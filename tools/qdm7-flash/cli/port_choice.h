// From the --port options to the ports to update: each path as given, each
// usb: selection as the ports it matches, every port once.
#pragma once

#include <string>
#include <vector>

#include "platform/port_identity.h"
#include "tools/qdm7-flash/cli/flash_options.h"

struct ChosenPorts {
    std::vector<std::string> paths; // to update, in order; empty when the choice failed
    std::vector<std::string> notes; // what the choice has to say, in order ("usb:0403:6001 is /dev/ttyUSB0 ...")
    // When a selection matches nothing: why, and the ports to list below it.
    std::string failure;
    std::vector<PortIdentity> listed;
};

// present gives every port there is, the same ones however often it is
// asked (a selection is matched against them, also one that another
// program holds: its open then says so).
ChosenPorts choose_ports(const std::vector<PortChoice>& choices,
                         const std::vector<PortIdentity>& (*present)(void* context), void* context);
