#include "platform/port_diagnosis.h"

// Windows says only that the port is taken (a sharing violation), not by
// whom: holders_text then says "another program".
PortHolders port_holders(const char*) { return {}; }

// A COM port has no owner group to be in; a refusal is said as the system's text.
PortAccess port_access(const char*) { return {}; }
