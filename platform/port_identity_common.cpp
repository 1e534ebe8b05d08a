// What every platform's port identity shares.
#include "platform/port_identity.h"
#include "platform/serial_port.h"

std::vector<PortIdentity> find_ports(bool usable_only)
{
    std::vector<PortIdentity> ports;
    for (const std::string& path : port_paths(usable_only))
        ports.push_back(port_identity(path.c_str()));
    return ports;
}
