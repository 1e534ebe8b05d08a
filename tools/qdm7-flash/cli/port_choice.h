// From the --port options to the ports to update: each path as given, each
// usb: selection as the ports it matches, every port once.
#pragma once

#include <string>
#include <vector>

#include "platform/port_identity.h"
#include "tools/qdm7-flash/cli/flash_options.h"

// A usb: selection that matches nothing: why, and the ports to list below it.
struct ChoiceFailure {
    std::string text;
    std::vector<PortIdentity> listed;
};

struct ChosenPorts {
    std::vector<std::string> paths; // in order: every port chosen, also when some selection failed
    std::vector<std::string> notes; // what the choice has to say, in order ("usb:0403:6001 is /dev/ttyUSB0 ...")
    std::vector<ChoiceFailure> failures; // an update goes on only without any
};

// present gives every port there is, the same ones however often it is
// asked (a selection is matched against them, also one that another
// program holds: its open then says so).
ChosenPorts choose_ports(const std::vector<PortChoice>& choices,
                         const std::vector<PortIdentity>& (*present)(void* context), void* context);

// Why a usb: selection (wanted, as usb_selector_text writes it) can match
// no port in this build; empty where USB identities can be read.
std::string unreadable_identity_text(const std::string& wanted);

// The ports a watch looks at now (choices, a std::vector<PortChoice>): those
// it names that are there, those its usb: selections match, or without
// either every port there is.
std::vector<PortIdentity> watched_ports(void* choices);
// What a watch waits for, in its head line: what it looks at, as it looks.
std::string watched_text(const std::vector<PortChoice>& choices);
// What keeps a watch from starting: a usb: selection that no port can match
// in this build, refused as an update refuses it, or a folder named as a
// port. Empty when nothing does.
std::string watch_refusal(const std::vector<PortChoice>& choices);
