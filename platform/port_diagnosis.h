// Why a port cannot be opened, as far as the system tells: who holds it,
// and whether this user may open it. For the programs that explain a
// failure (qdm7-flash), not the dialog. One implementation per platform.
#pragma once

#include <string>
#include <vector>

// A process that has the port open, or holds its lock.
struct PortHolder {
    int pid = 0;
    std::string program; // its name as the system gives it ("ModemManager")
};

struct PortHolders {
    std::vector<PortHolder> known; // each once, by pid
    bool hidden = false;           // processes this user may not inspect could hold it too
    bool looked = false;           // false: this system does not tell
};

// The processes other than this one that hold the port at path: those with
// it open (/proc/*/fd on Linux) or holding its lock (/proc/locks). The
// program on the other side of a pseudo-terminal (its master's holder, such
// as qdm7-sim) is the device there, not a holder, unless it holds the lock.
PortHolders port_holders(const char* path);

// "ModemManager (pid 812)", "minicom (pid 4410) and cat (pid 4500)".
std::string holder_names(const std::vector<PortHolder>& known);

// "in use by ModemManager (pid 812)", "in use by minicom (pid 4410) and
// cat (pid 4500)", "in use by a program this user may not inspect", or
// where the system does not tell, "in use by another program".
std::string holders_text(const PortHolders& holders);

// Whether this user may open the port at path, and if not, why and how to
// mend it. Who owns the port is filled in either way, where the system says.
struct PortAccess {
    bool allowed = true;
    std::string owner;        // the user who owns the port ("root"); empty when unknown
    std::string owner_group;  // the group that owns the port ("dialout"); empty when unknown
    unsigned mode = 0;        // its permission bits (0660)
    bool in_group = false;    // this user is in that group now
    std::string user;         // this user's name
    std::string text;         // the cause and the fix, in a sentence or two; empty when allowed
};
PortAccess port_access(const char* path);
