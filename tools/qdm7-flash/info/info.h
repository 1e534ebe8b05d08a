// What qdm7-flash tells without updating anything: the ports there are
// (--list) and what it is and carries (--version). Each prints its answer
// on standard output and returns what is left to say (console/outcome.h).
#pragma once

#include "tools/qdm7-flash/console/outcome.h"

// The ports it may open, one a line (with the column names on a
// terminal); those another program holds are named on standard error.
Outcome list_ports();

// Its version, and the image without loading it (so that no trace is
// printed): its length as embedded, its padded size, the CRC the device
// must report, its SHA-256.
Outcome print_version();
