#include "platform/port_diagnosis.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string program_of(int pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "a program" : name;
}

void add_holder(PortHolders& holders, int pid)
{
    if (pid == getpid())
        return;
    for (const PortHolder& known : holders.known)
        if (known.pid == pid)
            return;
    holders.known.push_back(PortHolder{pid, program_of(pid)});
}

#if defined(__linux__)
// Linux numbers pseudo-terminals under these majors; their multiplexer,
// /dev/ptmx (also /dev/pts/ptmx), is 5:2.
constexpr unsigned PTY_SLAVE_MAJOR_FIRST = 136;
constexpr unsigned PTY_SLAVE_MAJOR_LAST = 143;
constexpr unsigned PTMX_MAJOR = 5;
constexpr unsigned PTMX_MINOR = 2;
#endif

// The pseudo-terminal's number (N of /dev/pts/N) when device is one; -1
// otherwise, or where the system does not tell.
long pty_number(dev_t device)
{
#if defined(__linux__)
    const unsigned kind = major(device);
    if (kind >= PTY_SLAVE_MAJOR_FIRST && kind <= PTY_SLAVE_MAJOR_LAST)
        return static_cast<long>((kind - PTY_SLAVE_MAJOR_FIRST) * 256 + minor(device));
#else
    (void)device;
#endif
    return -1;
}

// Whether the descriptor at fd (/proc/PID/fd/N) is the master of
// pseudo-terminal number: its fdinfo says so ("tty-index:").
bool is_master_of(const std::string& folder, const char* fd, const struct stat& info, long number)
{
#if defined(__linux__)
    if (number < 0 || major(info.st_rdev) != PTMX_MAJOR || minor(info.st_rdev) != PTMX_MINOR)
        return false;
    std::ifstream fdinfo(folder + "/fdinfo/" + fd);
    std::string line;
    while (std::getline(fdinfo, line)) {
        if (line.rfind("tty-index:", 0) == 0)
            return std::atol(line.c_str() + 10) == number;
    }
#else
    (void)folder;
    (void)fd;
    (void)info;
    (void)number;
#endif
    return false;
}

// How the process with that /proc folder has the device open.
struct OpenBy {
    bool port = false;    // the device itself
    bool far_end = false; // the master of the pseudo-terminal that device is
};

OpenBy open_by(const std::string& folder, dev_t device, bool& hidden)
{
    OpenBy found;
    DIR* fds = opendir((folder + "/fd").c_str());
    if (fds == nullptr) {
        hidden = hidden || errno == EACCES || errno == EPERM;
        return found;
    }
    const long number = pty_number(device);
    while (dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat info {};
        const std::string fd = folder + "/fd/" + entry->d_name;
        if (stat(fd.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
            continue;
        found.port = found.port || info.st_rdev == device;
        found.far_end = found.far_end || is_master_of(folder, entry->d_name, info, number);
    }
    closedir(fds);
    return found;
}

// The pids that hold a lock on the file with that device and inode, from
// /proc/locks ("1: FLOCK  ADVISORY  WRITE 812 00:05:123 0 EOF"; a blocked
// waiter's line has "->" after its number).
std::vector<int> lock_holders(dev_t file_system, ino_t inode)
{
    std::vector<int> pids;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        fields >> number >> kind;
        if (kind == "->")
            continue;
        fields >> mode >> access >> pid >> where;
        unsigned major_number = 0, minor_number = 0;
        unsigned long long node = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major_number, &minor_number, &node) != 3)
            continue;
        if (makedev(major_number, minor_number) == file_system && node == inode)
            pids.push_back(std::atoi(pid.c_str()));
    }
    return pids;
}

} // namespace

PortHolders port_holders(const char* path)
{
    PortHolders holders;
    struct stat port {};
    if (path == nullptr || stat(path, &port) != 0 || !S_ISCHR(port.st_mode))
        return holders;
    DIR* processes = opendir("/proc");
    if (processes == nullptr)
        return holders;
    holders.looked = true;
    while (dirent* entry = readdir(processes)) {
        const int pid = std::atoi(entry->d_name);
        if (pid <= 0)
            continue;
        // The program on a pseudo-terminal's other side (a simulated device)
        // keeps this end open as well, so that the terminal never hangs up:
        // it is the device, not a holder, unless it also holds the lock.
        const OpenBy by = open_by(std::string("/proc/") + entry->d_name, port.st_rdev, holders.hidden);
        if (by.port && !by.far_end)
            add_holder(holders, pid);
    }
    closedir(processes);
    for (const int pid : lock_holders(port.st_dev, port.st_ino))
        add_holder(holders, pid);
    std::sort(holders.known.begin(), holders.known.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    return holders;
}

PortAccess port_access(const char* path)
{
    PortAccess access;
    if (path == nullptr)
        return access;
    access.allowed = ::access(path, R_OK | W_OK) == 0 || errno != EACCES;
    const passwd* me = getpwuid(geteuid());
    access.user = me != nullptr ? me->pw_name : std::to_string(geteuid());
    struct stat port {};
    if (stat(path, &port) != 0) {
        if (!access.allowed)
            access.text = "this user may not open it";
        return access;
    }
    const passwd* owner = getpwuid(port.st_uid);
    access.owner = owner != nullptr ? owner->pw_name : std::to_string(port.st_uid);
    const group* owner_group = getgrgid(port.st_gid);
    access.owner_group = owner_group != nullptr ? owner_group->gr_name : std::to_string(port.st_gid);
    access.mode = static_cast<unsigned>(port.st_mode & 0777);
    access.in_group = getegid() == port.st_gid;
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(count > 0 ? count : 0));
    if (count > 0 && getgroups(count, groups.data()) == count)
        access.in_group = access.in_group || std::find(groups.begin(), groups.end(), port.st_gid) != groups.end();
    if (access.allowed)
        return access;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", access.mode);
    if (access.in_group) {
        access.text = "it belongs to group " + access.owner_group + " (mode " + mode + "), which " + access.user +
                      " is in, but the group may not read and write it: ask who set up this machine";
        return access;
    }
    access.text = "it belongs to group " + access.owner_group + " (mode " + mode + ") and " + access.user +
                  " is not in that group; add the user with: sudo usermod -aG " + access.owner_group + " " +
                  access.user + ", then log out and in again";
    return access;
}
