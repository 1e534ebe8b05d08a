// Windows tells neither who holds a COM port nor who may open it
// (platform/port_diagnosis.h), and has no ModemManager, brltty or udev: the
// report shows the ports and the image, and says the rest is not checked.
#include "tools/qdm7-flash/doctor/doctor_os.h"

void gather_system_facts(DoctorFacts& facts) { facts.system_checked = false; }
