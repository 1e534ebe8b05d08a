// Port identity on Windows: not read. SetupAPI would give it on Windows
// itself, but Wine, where this build is tested, lists no device in the
// "Ports" class and no COM port interface at all, so such code could not be
// tested; the ports keep their plain names.
#include "platform/port_identity.h"


PortIdentity port_identity(const char* path)
{
    PortIdentity identity;
    identity.path = path;
    return identity;
}

bool port_identity_available() { return false; }
