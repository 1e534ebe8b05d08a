// qdm7-flash --doctor: what stands between this machine and an update, each
// finding with its fix. The facts are gathered once (gather_doctor_facts),
// then written out by a pure function (doctor_report), so that what the
// report says of any machine can be checked without that machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/port_diagnosis.h"
#include "platform/port_identity.h"
#include "tools/qdm7-flash/cli/flash_options.h"
#include "tools/qdm7-flash/cli/port_choice.h"

// The report is read on a terminal of this width; longer lines are wrapped.
inline constexpr std::size_t DOCTOR_COLUMNS = 80;

// What is at a port's path.
enum class PortNode : std::uint8_t {
    Device,     // a character device (or, where not checked, taken to be one)
    Missing,    // nothing
    NotADevice, // a file, a folder
};

// Whether udev marks a USB port for ModemManager to leave alone.
enum class UdevMark : std::uint8_t {
    NotChecked, // udev does not run here, or does not know the port
    Ignored,    // ID_MM_DEVICE_IGNORE=1 on the port or its USB device
    NotIgnored,
};

struct DoctorPort {
    PortIdentity identity;
    bool given = false; // named by --port: what is wrong with it is in the way
    PortNode node = PortNode::Device;
    PortAccess access;
    PortHolders holders;
    UdevMark udev = UdevMark::NotChecked;
};

// A program that opens serial ports nobody asked it to.
struct PortProber {
    std::string name;      // "ModemManager", "brltty"
    std::vector<int> pids; // empty: not running
};

struct DoctorFacts {
    std::string version; // "0.0.0 (development build)"
    // The image carried, as --version tells it.
    std::uint32_t image_length = 0;
    bool image_too_long = false; // longer than the engine can program
    std::int32_t padded_length = 0;
    std::int32_t blocks = 0;
    std::uint16_t image_crc = 0;
    bool sample_image = false;

    bool ports_given = false;           // --port given: only those ports
    std::vector<std::string> notes;     // what the choice of ports said
    std::vector<ChoiceFailure> choice_failures; // usb: selections that matched nothing
    std::vector<DoctorPort> ports;

    bool system_checked = true; // false: only the ports, whether each is there, and the image (Windows)
    std::vector<PortProber> probers;
};

struct DoctorReport {
    std::vector<std::string> lines;
    int in_the_way = 0; // findings that keep an update from running
};

// The report of facts, line by line, wrapped to DOCTOR_COLUMNS where it can
// be; its last line says how many things are in the way.
DoctorReport doctor_report(const DoctorFacts& facts);

// The facts of this machine, for the ports chosen as --port chooses them
// (every port there is when choices is empty).
DoctorFacts gather_doctor_facts(const std::vector<PortChoice>& choices);

// Gathers, prints the report on standard output, and returns the exit
// status: 0 when nothing is in the way, 1 otherwise.
int run_doctor(const std::vector<PortChoice>& choices);
