#include "tools/qdm7-flash/doctor/doctor.h"

#include <cstdio>

#include "build_info.h"
#include "engine/frames.h"
#include "engine/image.h"
#include "platform/embedded_image.h"
#include "tools/qdm7-flash/cli/port_choice.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/exit_codes.h"
#include "tools/qdm7-flash/doctor/doctor_os.h"

namespace {

// Every port present, looked for at most once, and only when asked: a path
// given as --port needs no look at the others.
struct Present {
    std::vector<PortIdentity> ports;
    bool looked = false;
};

const std::vector<PortIdentity>& present_ports(void* context)
{
    auto& present = *static_cast<Present*>(context);
    if (!present.looked)
        present.ports = find_ports(false);
    present.looked = true;
    return present.ports;
}

// The identity of a chosen port: as the look at every port found it, or
// asked for that port alone.
PortIdentity identity_of(const std::string& path, const Present& present)
{
    for (const PortIdentity& port : present.ports)
        if (port.path == path)
            return port;
    return port_identity(path.c_str());
}

// The image as --version tells it, without loading it.
void gather_image(DoctorFacts& facts)
{
    const EmbeddedImage image = find_embedded_image(program_instance());
    facts.image_length = image.length;
    facts.sample_image = QDM7_SAMPLE_IMAGE != 0;
    facts.image_too_long = image.length > static_cast<std::uint32_t>(MAX_IMAGE_LENGTH);
    if (facts.image_too_long)
        return;
    const auto length = static_cast<std::int32_t>(image.length);
    facts.padded_length = padded_image_size(length);
    facts.blocks = facts.padded_length / BLOCK_SIZE;
    facts.image_crc = padded_image_crc(image.data, length);
}

} // namespace

DoctorFacts gather_doctor_facts(const std::vector<PortChoice>& choices)
{
    DoctorFacts facts;
    facts.version = std::string(QDM7_VERSION) + (QDM7_DEVELOPMENT_BUILD ? " (development build)" : "");
    gather_image(facts);
    Present present;
    facts.ports_given = !choices.empty();
    if (!facts.ports_given) {
        for (const PortIdentity& identity : present_ports(&present)) {
            DoctorPort port;
            port.identity = identity;
            facts.ports.push_back(port);
        }
    } else {
        const ChosenPorts chosen = choose_ports(choices, present_ports, &present);
        facts.notes = chosen.notes;
        facts.choice_failures = chosen.failures;
        for (const std::string& path : chosen.paths) {
            DoctorPort port;
            port.identity = identity_of(path, present);
            port.given = true;
            facts.ports.push_back(port);
        }
    }
    gather_system_facts(facts);
    return facts;
}

int run_doctor(const std::vector<PortChoice>& choices)
{
    const DoctorReport report = doctor_report(gather_doctor_facts(choices));
    for (const std::string& line : report.lines)
        std::printf("%s\n", line.c_str());
    return report.in_the_way == 0 ? EXIT_COMPLETED : EXIT_FATAL;
}
