// qdm7-flash: the update job of the dialog, driven over a serial port
// without a window, for scripts, production lines and POSIX users. Here: the
// command line, the port list, the choice of ports, the report and the exit
// status; the update of one port is one port run (port_run.h), which ticks
// the job as the dialog's timer does and comes back when the port does;
// several ports are updated at once, each by a port run on a thread of its
// own (many_ports.h).
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
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
#include "tools/qdm7-flash/device_record.h"
#include "tools/qdm7-flash/display.h"
#include "tools/qdm7-flash/flash_options.h"
#include "tools/qdm7-flash/many_ports.h"
#include "tools/qdm7-flash/port_run.h"
#include "tools/qdm7-flash/port_select.h"
#include "tools/qdm7-flash/record_file.h"

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
    RecordFile report;              // --report, opened before any update
    std::FILE* trace_file = nullptr; // --log-dir: this port's trace
    std::vector<PortIdentity> present; // the ports found, once a usb: selection needed them
    bool looked = false;
};

// Every port present, looked for once a run: the choice between one port
// and several, and the choice of ports, see the same ones.
const std::vector<PortIdentity>& present_ports(FlashRun& run)
{
    if (!run.looked)
        run.present = find_ports(false);
    run.looked = true;
    return run.present;
}

// Every way out: the line being redrawn ended, the trace flushed, and the
// port, if open, given back.
void wind_up(FlashRun& run)
{
    display_end(run.display);
    job_trace_flush(run.job);
    if (run.trace_file != nullptr)
        std::fclose(run.trace_file);
    run.trace_file = nullptr;
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

// No port matches the selection wanted among ports: said, with the USB
// ports there are, and the run ends.
[[noreturn]] void end_without_match(FlashRun& run, const std::string& wanted, const std::vector<PortIdentity>& ports)
{
    const std::vector<PortIdentity> found = usb_ports(ports);
    if (!port_identity_available())
        end_early(run, EXIT_FATAL, "no port matches %s: this build cannot read the USB identity of "
                  "ports; name the port instead, such as --port \\\\.\\com3", wanted.c_str());
    if (found.empty())
        end_early(run, EXIT_FATAL, "no port matches %s: no USB serial port found", wanted.c_str());
    end_with_ports(run, "no port matches " + wanted + "; the USB serial ports found:", found);
}

// The one port that --port usb:... names (several go to run_many). Every
// port present counts, also one that another program holds: its open then
// says so.
std::string select_usb_port(FlashRun& run)
{
    const UsbSelector& selector = *run.options.ports.at(0).usb;
    const std::string wanted = usb_selector_text(selector);
    const std::vector<PortIdentity>& ports = present_ports(run);
    const std::vector<PortIdentity> matches = matching_ports(ports, selector);
    if (matches.empty())
        end_without_match(run, wanted, ports);
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

// The job's reporter with --log-dir: status texts to the display, the trace
// to the port's file.
void show_status_of_run(void* context, const char* text)
{
    display_status(static_cast<FlashRun*>(context)->display, text);
}

void trace_to_file(void* context, const char* text) { std::fputs(text, static_cast<FlashRun*>(context)->trace_file); }

void flush_trace_file(void* context) { std::fflush(static_cast<FlashRun*>(context)->trace_file); }

// The record of the run that just ended, when there is a --report; false
// (said) when it could not be written.
bool write_record(FlashRun& run, std::uint32_t elapsed_ms, std::uint32_t image_length)
{
    if (run.options.report_path.empty() || run.record.result == PortRunResult::Interrupted)
        return true;
    const DeviceRecord record = record_of_run(run.record, elapsed_ms, static_cast<std::int32_t>(image_length),
                                              run.options.deadline_ms);
    std::string error;
    if (append_record(run.report, format_device_record(record), error))
        return true;
    display_say(run.display, "the record of this update could not be written to %s: %s",
                run.options.report_path.c_str(), error.c_str());
    return false;
}

int run_update(FlashRun& run)
{
    UpdateJob& job = run.job;
    stop_watch_start(run.options.deadline_ms);
    // The trace goes to standard output, as the platform's, or to a file in
    // --log-dir; the status texts to the display, which draws the job's
    // progress from its record.
    const bool to_file = !run.options.log_dir.empty();
    prepare_job(job, run.frame_buffer.data(),
                to_file ? JobReporter{&run, show_status_of_run, trace_to_file, flush_trace_file}
                        : JobReporter{&run.display, display_job_status, nullptr, nullptr});
    display_start(run.display, job, stderr_is_terminal());
    if (QDM7_SAMPLE_IMAGE)
        display_say(run.display, "warning: sample image (not a release), not firmware for a real QDM7");
    // Chosen before the image is loaded, whose trace would be for nothing.
    const PortChoice& choice = run.options.ports.at(0);
    const std::string port_path = choice.usb ? select_usb_port(run) : choice.text;
    if (to_file) {
        const std::string path = trace_file_paths(run.options.log_dir, {port_path}, utc_now_ms()).front();
        run.trace_file = std::fopen(path.c_str(), "w");
        if (run.trace_file == nullptr)
            end_early(run, EXIT_FATAL, "cannot write the trace file %s", path.c_str());
    }
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
    const std::uint32_t began = tick_count();
    const PortRunResult result = run_port(job, port_path.c_str(), options, run.record);
    const bool recorded = write_record(run, tick_count() - began, image.length);
    switch (result) {
    case PortRunResult::Completed:
        display_status(run.display, "Programming Completed");
        wind_up(run);
        // Updated, but not on record as asked.
        return recorded ? EXIT_COMPLETED : EXIT_FATAL;
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

// The same port named twice (a link and its target, a selection and a
// path): the name the system resolves it to, where it can.
std::string port_key(const std::string& path)
{
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

// Every port the --port options name, each once: a selection that matches
// several ports names all of them; one that matches none ends the run.
std::vector<std::string> chosen_ports(FlashRun& run)
{
    std::vector<std::string> paths;
    std::vector<std::string> keys;
    const auto add = [&](const std::string& path, const std::string& given) {
        const std::string key = port_key(path);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key) {
                display_say(run.display, "%s is the port %s already given; updated once", given.c_str(),
                            paths[i].c_str());
                return;
            }
        }
        keys.push_back(key);
        paths.push_back(path);
    };
    for (const PortChoice& choice : run.options.ports) {
        if (!choice.usb) {
            add(choice.text, choice.text);
            continue;
        }
        const std::vector<PortIdentity>& present = present_ports(run);
        const std::string wanted = usb_selector_text(*choice.usb);
        const std::vector<PortIdentity> matches = matching_ports(present, *choice.usb);
        if (matches.empty())
            end_without_match(run, wanted, present);
        std::string names;
        for (const PortIdentity& port : matches)
            names += (names.empty() ? "" : ", ") + port.path;
        display_say(run.display, "%s is %s", wanted.c_str(), names.c_str());
        for (const PortIdentity& port : matches)
            add(port.path, wanted);
    }
    return paths;
}

// Whether the --port options mean several ports.
bool several_ports(FlashRun& run)
{
    const FlashOptions& options = run.options;
    if (options.ports.size() != 1)
        return options.ports.size() > 1;
    const PortChoice& choice = options.ports.front();
    return choice.usb && matching_ports(present_ports(run), *choice.usb).size() > 1;
}

// The fatal sink while several ports are updated: no one port to name.
void show_fatal_text_of_many(void*, const char* text)
{
    std::fputs(text, stderr);
    std::fflush(stderr);
}

int run_many(FlashRun& run)
{
    stop_watch_start(0); // the deadline is each port's own
    set_fatal_sink(show_fatal_text_of_many, nullptr);
    ManyPorts setup;
    setup.ports = chosen_ports(run);
    setup.deadline_ms = run.options.deadline_ms;
    setup.reconnect = run.options.reconnect;
    if (!run.options.log_dir.empty())
        setup.trace_paths = trace_file_paths(run.options.log_dir, setup.ports, utc_now_ms());
    if (!run.options.report_path.empty()) {
        setup.report = &run.report;
        setup.report_path = run.options.report_path;
    }
    return update_many_ports(setup);
}

// The report file opened and the trace folder made, before any update: one
// that cannot be written is said at once. False when one cannot.
bool open_outputs(FlashRun& run)
{
    std::string error;
    const FlashOptions& options = run.options;
    if (!options.report_path.empty() && !open_record_file(run.report, options.report_path.c_str(), error)) {
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
    if (!open_outputs(run))
        return EXIT_FATAL;
    int status = 0;
    if (several_ports(run)) {
        prepare_job(run.job, run.frame_buffer.data()); // no port: nothing for a fatal end to close
        status = run_many(run);
    } else {
        status = run_update(run);
    }
    release_firmware_image(run.job);
    close_record_file(run.report);
    return status;
}
