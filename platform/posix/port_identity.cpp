// Port identity on POSIX through libserialport, which reads what the kernel
// knows of the device behind a terminal (sysfs on Linux, IOKit on macOS).
#include "platform/port_identity.h"

#include <libserialport.h>
#include <sys/stat.h>

#if defined(__linux__)
#  include <sys/sysmacros.h>
#endif


namespace {

std::string text_of(const char* text) { return text != nullptr ? text : ""; }

// libserialport knows nothing of pseudo-terminals; their device numbers
// tell them apart from ports it merely cannot place.
bool is_pseudo_terminal(const char* path)
{
#if defined(__linux__)
    struct stat info {};
    constexpr unsigned PTY_SLAVE_MAJOR_FIRST = 136;
    constexpr unsigned PTY_SLAVE_MAJOR_LAST = 143;
    return stat(path, &info) == 0 && S_ISCHR(info.st_mode) && major(info.st_rdev) >= PTY_SLAVE_MAJOR_FIRST &&
           major(info.st_rdev) <= PTY_SLAVE_MAJOR_LAST;
#else
    (void)path;
    return false;
#endif
}

} // namespace

PortIdentity port_identity(const char* path)
{
    PortIdentity identity;
    identity.path = path;
    sp_port* port = nullptr;
    if (sp_get_port_by_name(path, &port) != SP_OK) {
        if (is_pseudo_terminal(path))
            identity.kind = PortKind::PseudoTerminal;
        return identity;
    }
    switch (sp_get_port_transport(port)) {
    case SP_TRANSPORT_USB: {
        identity.kind = PortKind::Usb;
        int vid = 0;
        int pid = 0;
        if (sp_get_port_usb_vid_pid(port, &vid, &pid) == SP_OK) {
            identity.usb_vid = static_cast<std::uint16_t>(vid);
            identity.usb_pid = static_cast<std::uint16_t>(pid);
        }
        identity.manufacturer = text_of(sp_get_port_usb_manufacturer(port));
        identity.product = text_of(sp_get_port_usb_product(port));
        identity.serial = text_of(sp_get_port_usb_serial(port));
        break;
    }
    case SP_TRANSPORT_BLUETOOTH:
        identity.kind = PortKind::Bluetooth;
        break;
    default:
        identity.kind = PortKind::OnBoard;
        break;
    }
    sp_free_port(port);
    return identity;
}

bool port_identity_available() { return true; }
