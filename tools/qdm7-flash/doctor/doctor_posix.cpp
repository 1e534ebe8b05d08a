// The doctor's look at a POSIX system: the ports' nodes, access and holders
// (platform/port_diagnosis.h), udev's marks read with libudev, and the
// probing programs found in /proc.
#include <dirent.h>
#include <libudev.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tools/qdm7-flash/doctor/doctor_os.h"

namespace {

// The processes whose name (/proc/PID/comm) is name.
std::vector<int> pids_named(const char* name)
{
    std::vector<int> pids;
    DIR* processes = opendir("/proc");
    if (processes == nullptr)
        return pids;
    while (dirent* entry = readdir(processes)) {
        const int pid = std::atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::ifstream comm(std::string("/proc/") + entry->d_name + "/comm");
        std::string program;
        if (std::getline(comm, program) && program == name)
            pids.push_back(pid);
    }
    closedir(processes);
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool marked(udev_device* device)
{
    const char* value = device != nullptr ? udev_device_get_property_value(device, "ID_MM_DEVICE_IGNORE") : nullptr;
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// ModemManager heeds the mark on the port or on its USB device; a port udev
// has not processed carries no marks to read.
UdevMark udev_mark(udev* context, dev_t device_number)
{
    if (context == nullptr)
        return UdevMark::NotChecked;
    udev_device* port = udev_device_new_from_devnum(context, 'c', device_number);
    if (port == nullptr || udev_device_get_is_initialized(port) == 0) {
        udev_device_unref(port);
        return UdevMark::NotChecked;
    }
    // The parent belongs to port and goes with it.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(port, "usb", "usb_device");
    const UdevMark mark = marked(port) || marked(usb) ? UdevMark::Ignored : UdevMark::NotIgnored;
    udev_device_unref(port);
    return mark;
}

void gather_port(DoctorPort& port, udev* context)
{
    const char* path = port.identity.path.c_str();
    struct stat node {};
    if (stat(path, &node) != 0) {
        port.node = PortNode::Missing;
        return;
    }
    if (!S_ISCHR(node.st_mode)) {
        port.node = PortNode::NotADevice;
        return;
    }
    port.access = port_access(path);
    port.holders = port_holders(path);
    if (port.identity.kind == PortKind::Usb)
        port.udev = udev_mark(context, node.st_rdev);
}

} // namespace

void gather_system_facts(DoctorFacts& facts)
{
    facts.system_checked = true;
    // Without its run folder udev keeps no marks, whatever libudev finds in
    // sysfs.
    struct stat run {};
    const bool udev_runs = stat("/run/udev", &run) == 0 && S_ISDIR(run.st_mode);
    udev* context = udev_runs ? udev_new() : nullptr;
    for (DoctorPort& port : facts.ports)
        gather_port(port, context);
    udev_unref(context);
    for (const char* name : {"ModemManager", "brltty"})
        facts.probers.push_back(PortProber{name, pids_named(name)});
}
