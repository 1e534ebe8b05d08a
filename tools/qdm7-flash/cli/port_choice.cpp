#include "tools/qdm7-flash/cli/port_choice.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/serial_port.h"

namespace {

// The same port named twice (a link and its target, a selection and a
// path): the name the system resolves it to, where it can.
std::string port_key(const std::string& path)
{
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

// Nothing matches wanted among ports: why, with the USB ports there are.
ChoiceFailure failure_without_match(const std::string& wanted, const std::vector<PortIdentity>& ports)
{
    ChoiceFailure failure;
    failure.text = unreadable_identity_text(wanted);
    if (!failure.text.empty())
        return failure;
    failure.listed = usb_ports(ports);
    failure.text = failure.listed.empty() ? "no port matches " + wanted + ": no USB serial port found"
                                          : "no port matches " + wanted + "; the USB serial ports found:";
    return failure;
}

} // namespace

std::string unreadable_identity_text(const std::string& wanted)
{
    if (port_identity_available())
        return {};
    return "no port matches " + wanted + ": this build cannot read the USB identity of ports; "
           "name the port instead, such as --port COM3";
}

ChosenPorts choose_ports(const std::vector<PortChoice>& choices,
                         const std::vector<PortIdentity>& (*present)(void* context), void* context)
{
    ChosenPorts chosen;
    std::vector<std::string> keys;
    const auto add = [&](const std::string& path, const std::string& given) {
        const std::string key = port_key(path);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key) {
                chosen.notes.push_back(given + " is the port " + chosen.paths[i] + " already given; updated once");
                return;
            }
        }
        keys.push_back(key);
        chosen.paths.push_back(path);
    };
    for (const PortChoice& choice : choices) {
        if (!choice.usb) {
            add(choice.text, choice.text);
            continue;
        }
        const std::vector<PortIdentity>& ports = present(context);
        const std::string wanted = usb_selector_text(*choice.usb);
        const std::vector<PortIdentity> matches = matching_ports(ports, *choice.usb);
        if (matches.empty()) {
            chosen.failures.push_back(failure_without_match(wanted, ports));
            continue;
        }
        if (choices.size() == 1 && matches.size() == 1) {
            // The one port of the run: said with who is behind it.
            const PortIdentity& port = matches.front();
            chosen.notes.push_back(wanted + " is " + port.path + " (" +
                                   (port.product.empty() ? "no product name" : port.product) +
                                   ", serial number " + (port.serial.empty() ? "none" : port.serial) + ")");
            chosen.paths.push_back(port.path);
            continue;
        }
        std::string names;
        for (const PortIdentity& port : matches)
            names += (names.empty() ? "" : ", ") + port.path;
        chosen.notes.push_back(wanted + " is " + names);
        for (const PortIdentity& port : matches)
            add(port.path, wanted);
    }
    return chosen;
}

std::vector<PortIdentity> watched_ports(void* context)
{
    const auto& choices = *static_cast<const std::vector<PortChoice>*>(context);
    const bool selecting = std::any_of(choices.begin(), choices.end(), [](const PortChoice& c) { return c.usb; });
    std::vector<PortIdentity> present;
    if (choices.empty() || selecting)
        present = find_ports(false);
    if (choices.empty())
        return present;
    std::vector<PortIdentity> chosen;
    const auto add = [&](const PortIdentity& port) {
        const auto same = [&](const PortIdentity& taken) { return taken.path == port.path; };
        if (std::none_of(chosen.begin(), chosen.end(), same))
            chosen.push_back(port);
    };
    for (const PortChoice& choice : choices) {
        if (!choice.usb) {
            if (port_present(choice.text.c_str()))
                add(port_identity(choice.text.c_str()));
            continue;
        }
        for (const PortIdentity& port : matching_ports(present, *choice.usb))
            add(port);
    }
    return chosen;
}

std::string watched_text(const std::vector<PortChoice>& choices)
{
    const char* glob = std::getenv("QDM7_PORT_GLOB");
    const bool globbed = glob != nullptr && glob[0] != '\0';
    std::string text;
    bool selecting = false;
    for (const PortChoice& choice : choices) {
        if (!text.empty())
            text += ", ";
        text += choice.usb ? usb_selector_text(*choice.usb) : choice.text;
        selecting = selecting || choice.usb;
    }
    // The ports named are looked at as named; usb: selections and the
    // whole watch among the ports discovery finds.
    if (selecting && globbed)
        return text + " on QDM7_PORT_GLOB=" + glob;
    if (!text.empty())
        return text;
    return globbed ? glob : "every serial port";
}

std::string watch_refusal(const std::vector<PortChoice>& choices)
{
    for (const PortChoice& choice : choices) {
        std::error_code error;
        if (choice.usb && !port_identity_available())
            return unreadable_identity_text(usb_selector_text(*choice.usb));
        if (!choice.usb && std::filesystem::is_directory(choice.text, error))
            return "--watch --port " + choice.text + ": a folder, not a port; to watch the ports in it, set "
                   "QDM7_PORT_GLOB='" + (std::filesystem::path(choice.text) / "*").string() + "'";
    }
    return {};
}
