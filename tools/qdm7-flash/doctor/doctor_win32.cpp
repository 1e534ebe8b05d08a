// Windows tells neither who holds a COM port nor who may open it
// (platform/port_diagnosis.h), and has no ModemManager, brltty or udev: the
// report shows the ports, whether each one named is there, and the image,
// and says the rest is not checked.
#include "tools/qdm7-flash/doctor/doctor_os.h"

#include "platform/serial_port.h"

namespace {

// Opened for a moment, as discovery opens every port: what answers
// GetCommState is a port, also one another program holds.
PortNode node_of(const std::string& path)
{
    PortFailure failure;
    PortHandle port = open_port(path.c_str(), failure);
    close_port(port);
    if (failure.not_serial())
        return PortNode::NotADevice;
    return failure.absent ? PortNode::Missing : PortNode::Device;
}

} // namespace

void gather_system_facts(DoctorFacts& facts)
{
    facts.system_checked = false;
    for (DoctorPort& port : facts.ports) {
        if (port.given)
            port.node = node_of(port.identity.path);
    }
}
