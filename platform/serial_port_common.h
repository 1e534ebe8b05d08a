// What every platform's serial port shares, for those implementations only.
#pragma once

#include "platform/serial_port.h"

// Starts failure afresh; false, with the caller's mistake said, when no path
// is given.
bool port_path_given(const char* path, PortFailure& failure);
