// qdm7-flash: the update job of the dialog, driven over a serial port
// without a window, for scripts, production lines and POSIX users. Here: the
// command line parsed, the ports chosen, and the run handed to the station
// (station/station.h), which updates each port with a worker of its own.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "build_info.h"
#include "image_text.h"
#include "engine/frames.h"
#include "engine/image.h"
#include "platform/embedded_image.h"
#include "platform/port_diagnosis.h"
#include "platform/port_identity.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/cli/flash_options.h"
#include "tools/qdm7-flash/cli/port_choice.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/exit_codes.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/doctor/doctor.h"
#include "tools/qdm7-flash/records/record_file.h"
#include "tools/qdm7-flash/station/station.h"
#include "tools/qdm7-flash/station/watch.h"
#include "tools/qdm7-flash/view/display.h"
#include "tools/qdm7-flash/view/job_view.h"

namespace {

// A port that discovery sees but cannot list: held by another program now.
bool held(const PortIdentity& port)
{
    PortFailure failure;
    PortHandle handle = open_port(port.path.c_str(), failure);
    close_port(handle);
    return failure.busy;
}

int list_ports()
{
    const std::vector<PortIdentity> ports = find_ports(true);
    // The ports held are said beside the list, not in it: a script gets the
    // ports it may open.
    bool any_held = false;
    for (const PortIdentity& port : find_ports(false)) {
        const auto same = [&](const PortIdentity& listed) { return listed.path == port.path; };
        if (std::none_of(ports.begin(), ports.end(), same) && held(port)) {
            std::fprintf(stderr, "qdm7-flash: %s is %s: not listed while it is held\n", port.path.c_str(),
                         holders_text(port_holders(port.path.c_str())).c_str());
            any_held = true;
        }
    }
    if (ports.empty()) {
        std::fprintf(stderr, "qdm7-flash: %s\n", any_held ? "no other serial port found" : "no serial ports found");
        return EXIT_COMPLETED;
    }
    // The column names are for a reader, where there are columns to name; a
    // script gets the ports alone.
    for (const std::string& line : port_lines(ports, stdout_is_terminal() && port_identity_available()))
        std::printf("%s\n", line.c_str());
    return EXIT_COMPLETED;
}

// Names the image without loading it, so that no trace is printed: its
// length as embedded, its padded size, and the CRC the device must report.
int print_version()
{
    const EmbeddedImage image = find_embedded_image(program_instance());
    if (image.length > static_cast<std::uint32_t>(MAX_IMAGE_LENGTH)) {
        std::fprintf(stderr, "qdm7-flash: the embedded image is too long to program\n");
        return EXIT_FATAL;
    }
    const auto length = static_cast<std::int32_t>(image.length);
    const std::int32_t padded = padded_image_size(length);
    std::printf("qdm7-flash %s%s\n"
                "image: %ld bytes, padded to %ld (%s), flash base %#lx, CRC 0x%04x\n",
                QDM7_VERSION, QDM7_DEVELOPMENT_BUILD ? " (development build)" : "",
                static_cast<long>(length), static_cast<long>(padded),
                counted(padded / BLOCK_SIZE, "block").c_str(), static_cast<unsigned long>(FLASH_BASE),
                static_cast<unsigned>(padded_image_crc(image.data, length)));
    std::printf("image: SHA-256 %s\n", QDM7_IMAGE_SHA256);
    if (QDM7_SAMPLE_IMAGE)
        std::printf("image: sample image (not a release)\n");
    return EXIT_COMPLETED;
}

// The report file opened and the trace folder made, before any update: one
// that cannot be written is said at once. False when one cannot.
bool open_outputs(const FlashOptions& options, RecordFile& report)
{
    std::string error;
    if (!options.report_path.empty() && !open_record_file(report, options.report_path.c_str(), error)) {
        std::fprintf(stderr, "qdm7-flash: cannot write the report %s: %s\n", options.report_path.c_str(),
                     error.c_str());
        return false;
    }
    if (!options.log_dir.empty()) {
        std::error_code made;
        std::filesystem::create_directories(options.log_dir, made);
        if (made || !std::filesystem::is_directory(options.log_dir, made)) {
            std::fprintf(stderr, "qdm7-flash: cannot make the trace folder %s: %s\n", options.log_dir.c_str(),
                         made ? made.message().c_str() : "something else is there");
            return false;
        }
    }
    return true;
}

// Every port present, looked for once a run, however many selections ask.
const std::vector<PortIdentity>& present_ports(void* context)
{
    auto& present = *static_cast<std::vector<PortIdentity>*>(context);
    static bool looked = false;
    if (!looked)
        present = find_ports(false);
    looked = true;
    return present;
}

// The ports a watch looks at now: those it names that are there, those its
// usb: selections match, or without either every port there is.
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

// What a watch waits for, in its head line: what it looks at, as it looks.
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

// What every update of a run shares, for a station of given ports and a
// watch alike.
template <typename Setup> void take_update_options(const FlashOptions& options, RecordFile& report, Setup& setup)
{
    setup.deadline_ms = options.deadline_ms;
    setup.reconnect = options.reconnect;
    setup.skip_if_current = options.skip_if_current;
    setup.log_dir = options.log_dir;
    if (!options.report_path.empty()) {
        setup.report = &report;
        setup.report_path = options.report_path;
    }
}

// What keeps a watch from starting: a usb: selection that no port can match
// in this build, refused as an update refuses it, or a folder named as a
// port. Empty when nothing does.
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

int watch(const FlashOptions& options, RecordFile& report)
{
    WatchSetup setup;
    setup.ports = watched_ports;
    setup.context = const_cast<std::vector<PortChoice>*>(&options.ports);
    setup.watched = watched_text(options.ports);
    setup.count = options.count;
    take_update_options(options, report, setup);
    return run_watch(setup);
}

int update(const FlashOptions& options, RecordFile& report)
{
    // Said before any port is touched; wrapped to a terminal's width.
    Display said;
    said.terminal = stderr_is_terminal();
    if (QDM7_SAMPLE_IMAGE)
        display_say(said, "%s", SAMPLE_IMAGE_WARNING);
    if (options.action == FlashAction::Watch) {
        const std::string refusal = watch_refusal(options.ports);
        if (!refusal.empty()) {
            display_say(said, "%s", refusal.c_str());
            return EXIT_FATAL;
        }
        return watch(options, report);
    }
    std::vector<PortIdentity> present;
    const ChosenPorts chosen = choose_ports(options.ports, present_ports, &present);
    for (const std::string& note : chosen.notes)
        display_say(said, "%s", note.c_str());
    if (!chosen.failures.empty()) {
        for (const ChoiceFailure& failure : chosen.failures) {
            display_say(said, "%s", failure.text.c_str());
            for (const std::string& line : port_lines(failure.listed, false))
                std::fprintf(stderr, "  %s\n", line.c_str());
        }
        return EXIT_FATAL;
    }
    if (options.action == FlashAction::Verify) {
        if (chosen.paths.size() != 1) {
            std::fprintf(stderr, "qdm7-flash: --verify checks one port at a time; try 'qdm7-flash --help'\n");
            return EXIT_USAGE;
        }
        return run_verify(chosen.paths.front(), options.deadline_ms);
    }
    StationSetup setup;
    setup.ports = chosen.paths;
    take_update_options(options, report, setup);
    return run_station(setup);
}

} // namespace

int main(int argc, char** argv)
{
    // Whoever follows the trace in a file sees each line as it comes.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    FlashOptions options;
    std::string error;
    if (!parse_flash_options(argc, argv, options, error)) {
        std::fprintf(stderr, "qdm7-flash: %s; try 'qdm7-flash --help'\n", error.c_str());
        return EXIT_USAGE;
    }
    switch (options.action) {
    case FlashAction::Help:
        std::fputs(flash_usage(), stdout);
        return EXIT_COMPLETED;
    case FlashAction::List: return list_ports();
    case FlashAction::Version: return print_version();
    case FlashAction::Doctor: return run_doctor(options.ports);
    case FlashAction::Update:
    case FlashAction::Watch:
    case FlashAction::Verify: break;
    }
    RecordFile report;
    if (!open_outputs(options, report))
        return EXIT_FATAL;
    const int status = update(options, report);
    close_record_file(report);
    return status;
}
