// qdm7-flash: the update job of the dialog, driven over a serial port
// without a window, for scripts, production lines and POSIX users. Here: the
// command line, the port list, the choice of port and the exit status; the
// update itself is one port run (port_run.h), which ticks the job as the
// dialog's timer does and comes back when the port does.
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "build_info.h"
#include "engine/frames.h"
#include "engine/image.h"
#include "engine/job.h"
#include "platform/embedded_image.h"
#include "platform/port_identity.h"
#include "platform/report.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/console.h"
#include "tools/qdm7-flash/display.h"
#include "tools/qdm7-flash/flash_options.h"
#include "tools/qdm7-flash/port_run.h"
#include "tools/qdm7-flash/port_select.h"

namespace {

constexpr int EXIT_COMPLETED = 0;
constexpr int EXIT_FATAL = 1;
constexpr int EXIT_VERIFY_FAILED = 2;
constexpr int EXIT_PORT_LOST = 4;
constexpr int EXIT_USAGE = 64;

constexpr const char* OPEN_FAILED = "Unable to open serial port. In use already, or not present";

// One update: the job, its frame buffer and what the screen shows of it,
// owned by main for the whole run.
struct FlashRun {
    FlashOptions options;
    UpdateJob job;
    std::array<std::uint8_t, FRAME_BUFFER_SIZE> frame_buffer{};
    Display display;
    const char* opening = nullptr; // the port, from the moment it is opened
    PortRunRecord record;
};

// Every way out: the line being redrawn ended, the trace flushed, and the
// port, if open, given back.
void wind_up(FlashRun& run)
{
    display_end(run.display);
    job_trace_flush(run.job);
    if (run.job.port_handle != INVALID_PORT_HANDLE) {
        close_port(run.job.port_handle);
        stop_watch_port(INVALID_PORT_HANDLE);
    }
}

// The fatal sink: the fatal text, after a line that names the port it
// concerns.
void show_fatal_text(void* context, const char* text)
{
    FlashRun& run = *static_cast<FlashRun*>(context);
    wind_up(run);
    if (run.opening != nullptr)
        std::fprintf(stderr, "qdm7-flash: port %s:", run.opening);
    std::fputs(text, stderr);
    std::fflush(stderr);
}

int list_ports()
{
    const std::vector<PortIdentity> ports = find_ports(true);
    if (ports.empty()) {
        std::fprintf(stderr, "qdm7-flash: no serial ports found\n");
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
    std::uint16_t crc = crc16_update(CRC_INITIAL, image.data, image.length);
    static const std::uint8_t zeros[BLOCK_SIZE] = {};
    for (std::int32_t left = padded - length; left > 0; left -= BLOCK_SIZE)
        crc = crc16_update(crc, zeros, static_cast<std::size_t>(left < BLOCK_SIZE ? left : BLOCK_SIZE));
    std::printf("qdm7-flash %s%s\n"
                "image: %ld bytes, padded to %ld (%ld blocks), flash base %#lx, CRC 0x%04x\n",
                QDM7_VERSION, QDM7_DEVELOPMENT_BUILD ? " (development build)" : "",
                static_cast<long>(length), static_cast<long>(padded),
                static_cast<long>(padded / BLOCK_SIZE), static_cast<unsigned long>(FLASH_BASE),
                static_cast<unsigned>(crc));
    if (QDM7_SAMPLE_IMAGE)
        std::printf("image: sample image (not a release)\n");
    return EXIT_COMPLETED;
}

// Ends the run early: the port is given back, then the reason said.
[[noreturn]] void end_early(FlashRun& run, int status, const char* format, ...) QDM7_PRINTF(3, 4);
[[noreturn]] void end_early(FlashRun& run, int status, const char* format, ...)
{
    wind_up(run);
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    display_say(run.display, "%s", text);
    std::exit(status);
}

// A message that ends the run, then the ports it concerns, one a line.
[[noreturn]] void end_with_ports(FlashRun& run, const std::string& message, const std::vector<PortIdentity>& ports)
{
    wind_up(run);
    display_say(run.display, "%s", message.c_str());
    for (const std::string& line : port_lines(ports, false))
        std::fprintf(stderr, "  %s\n", line.c_str());
    std::exit(EXIT_FATAL);
}

// The one port that --port usb:... names. Every port present counts, also
// one that another program holds: its open then says so.
std::string select_usb_port(FlashRun& run)
{
    const UsbSelector& selector = *run.options.ports.at(0).usb;
    const std::string wanted = usb_selector_text(selector);
    const std::vector<PortIdentity> ports = find_ports(false);
    const std::vector<PortIdentity> matches = matching_ports(ports, selector);
    if (matches.size() > 1)
        end_with_ports(run, std::to_string(matches.size()) + " ports match " + wanted +
                                "; add the serial number to choose one (" + wanted + ":SERIAL):",
                       matches);
    if (matches.empty()) {
        const std::vector<PortIdentity> found = usb_ports(ports);
        if (!port_identity_available())
            end_early(run, EXIT_FATAL, "no port matches %s: this build cannot read the USB identity of "
                      "ports; name the port instead, such as --port \\\\.\\com3", wanted.c_str());
        if (found.empty())
            end_early(run, EXIT_FATAL, "no port matches %s: no USB serial port found", wanted.c_str());
        end_with_ports(run, "no port matches " + wanted + "; the USB serial ports found:", found);
    }
    const PortIdentity& port = matches.front();
    display_say(run.display, "%s is %s (%s, serial number %s)", wanted.c_str(), port.path.c_str(),
                port.product.empty() ? "no product name" : port.product.c_str(),
                port.serial.empty() ? "none" : port.serial.c_str());
    return port.path;
}

void after_tick(void* context) { display_refresh(static_cast<FlashRun*>(context)->display); }

void on_run_note(void* context, PortRunNote note, const char* text)
{
    FlashRun& run = *static_cast<FlashRun*>(context);
    display_say(run.display, "%s", text);
    // A fresh attempt: its progress and rate counted afresh.
    if (note == PortRunNote::Restarting)
        display_start(run.display, run.job, run.display.terminal);
}

int run_update(FlashRun& run)
{
    UpdateJob& job = run.job;
    stop_watch_start(run.options.deadline_ms);
    // The trace goes to standard output, as the platform's; the status texts
    // to the display, which draws the job's progress from its record.
    prepare_job(job, run.frame_buffer.data(), JobReporter{&run.display, display_job_status, nullptr, nullptr});
    display_start(run.display, job, stderr_is_terminal());
    if (QDM7_SAMPLE_IMAGE)
        display_say(run.display, "warning: sample image (not a release), not firmware for a real QDM7");
    // Chosen before the image is loaded, whose trace would be for nothing.
    const PortChoice& choice = run.options.ports.at(0);
    const std::string port_path = choice.usb ? select_usb_port(run) : choice.text;
    const EmbeddedImage image = find_embedded_image(program_instance());
    load_firmware_image(image.data, image.length, job);

    // What the dialog's update button and timer do, for a serial port only.
    run.opening = port_path.c_str();
    PortRunOptions options;
    options.reconnect = run.options.reconnect;
    options.context = &run;
    options.ticked = after_tick;
    options.note = on_run_note;
    const PortRunRecord& record = run.record;
    const double deadline_s = run.options.deadline_ms / 1000.0;
    switch (run_port(job, port_path.c_str(), options, run.record)) {
    case PortRunResult::Completed:
        display_status(run.display, "Programming Completed");
        wind_up(run);
        return EXIT_COMPLETED;
    case PortRunResult::Failed:
        wind_up(run);
        return EXIT_VERIFY_FAILED;
    case PortRunResult::Error:
        if (record.open_failure.not_serial)
            end_early(run, EXIT_FATAL, "%s is not a serial port; left untouched", port_path.c_str());
        fatal_error_with_code(OPEN_FAILED, record.open_failure.code);
    case PortRunResult::Lost:
        end_early(run, EXIT_PORT_LOST,
                  "lost the port %s: the device is gone (unplugged, or its cable pulled); port closed",
                  record.port.c_str());
    case PortRunResult::Deadline:
        if (record.waiting)
            end_early(run, static_cast<int>(StopReason::Deadline),
                      "deadline of %g s passed while waiting for the lost port %s to come back", deadline_s,
                      record.port.c_str());
        end_early(run, static_cast<int>(StopReason::Deadline), "deadline of %g s passed; port closed", deadline_s);
    case PortRunResult::Interrupted:
        if (record.waiting)
            end_early(run, static_cast<int>(StopReason::Interrupted),
                      "interrupted while waiting for the lost port %s to come back", record.port.c_str());
        end_early(run, static_cast<int>(StopReason::Interrupted), "interrupted; port closed");
    }
    return EXIT_FATAL;
}

} // namespace

int main(int argc, char** argv)
{
    // Whoever follows the trace in a file sees each line as it comes.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    // Still in place when the fatal sink or an early exit winds it up: they
    // end the process without returning here.
    FlashRun run;
    set_fatal_sink(show_fatal_text, &run);
    std::string error;
    if (!parse_flash_options(argc, argv, run.options, error)) {
        std::fprintf(stderr, "qdm7-flash: %s; try 'qdm7-flash --help'\n", error.c_str());
        return EXIT_USAGE;
    }
    if (run.options.help) {
        std::fputs(flash_usage(), stdout);
        return EXIT_COMPLETED;
    }
    if (run.options.list)
        return list_ports();
    if (run.options.version)
        return print_version();
    const int status = run_update(run);
    release_firmware_image(run.job);
    return status;
}
