// Where qdm7-sim serves the virtual QDM7: a new pseudo-terminal (with an
// optional symbolic link to it, guarded by a lock file beside the link) or an
// existing serial device, taken for this program alone.
#pragma once

#include <string>

#include "tools/qdm7-sim/sim_options.h"

struct SimPort {
    int fd = -1;                 // pty master or serial device, non-blocking
    int slave_fd = -1;           // kept open so the master never sees EIO
    std::string path;            // what the updater opens
    std::string link_path;       // made to point at a pty, empty for none
    bool link_made = false;
    int link_lock_fd = -1;       // held while we serve the link, so a second sim sees us
    bool made_exclusive = false; // a served device's exclusive flag is ours to clear
};

// Opens the port the options ask for, its line raw 8E1. On failure, error
// says why; sim_port_unlink and sim_port_close still clean up.
bool sim_port_open(SimPort& port, const SimOptions& options, std::string& error);
// Removes the link and its lock file (only our own link: another run may
// have taken the name since).
void sim_port_unlink(SimPort& port);
void sim_port_close(SimPort& port);
// Bytes written to the updater that it has not read yet.
int sim_port_unread(const SimPort& port);
