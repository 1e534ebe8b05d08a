// What the doctor asks of the operating system beyond the ports' identity:
// what is at each port's path, who may open it and who holds it, how udev
// marks it, and the programs that probe serial ports. One implementation
// per platform.
#pragma once

#include "tools/qdm7-flash/doctor/doctor.h"

// Fills in, for facts.ports as chosen, all but their identity, and the
// facts of the system (system_checked, probers).
void gather_system_facts(DoctorFacts& facts);
