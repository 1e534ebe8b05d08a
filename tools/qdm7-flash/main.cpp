// qdm7-flash: the update job of the dialog, driven over a serial port
// without a window, for scripts, production lines and POSIX users. It ticks
// the job as the dialog's timer does: a tick, then 10 ms, until the job
// completes or fails.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "build_info.h"
#include "engine/frames.h"
#include "engine/image.h"
#include "engine/job.h"
#include "platform/embedded_image.h"
#include "platform/report.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/console.h"
#include "tools/qdm7-flash/display.h"

namespace {

constexpr int EXIT_COMPLETED = 0;
constexpr int EXIT_FATAL = 1;
constexpr int EXIT_VERIFY_FAILED = 2;
constexpr int EXIT_PORT_LOST = 4;
constexpr int EXIT_USAGE = 64;

// The dialog's timer: the next tick comes 10 ms after this one ended.
constexpr std::uint32_t TICK_PAUSE_MS = 10;
// Longer than any real run needs, short enough to fit the tick counter.
constexpr long MAX_DEADLINE_SECONDS = 86400L * 7;

const char* const USAGE =
    "Usage: qdm7-flash --port PATH [--deadline SECONDS]\n"
    "       qdm7-flash --list | --version | --help\n"
    "\n"
    "Updates a QDM7 with the firmware image built into this program, over the\n"
    "serial port PATH. Start it, then power-cycle the device: the contact query\n"
    "repeats until the device answers.\n"
    "\n"
    "  --port PATH         run the update on this port\n"
    "  --deadline SECONDS  give up after this long (exit 3), in plain decimal\n"
    "                      seconds up to 604800 (a week), such as 120 or 2.5;\n"
    "                      without it the update retries without limit\n"
    "  --list              print the serial ports found, one a line\n"
    "  --version           name the firmware image carried\n"
    "  --help              this text\n"
    "\n"
    "The trace goes to standard output, a line at a time; status texts go to\n"
    "standard error (a progress bar while programming on a terminal), with a\n"
    "line for each request resent after a time-out.\n"
    "Exit status: 0 completed, 1 fatal error or not a serial port,\n"
    "2 verification failed (\"FAILED\"), 3 deadline passed, 4 port lost (the\n"
    "device was unplugged or went away), 64 usage error, 130 interrupted.\n";

struct Options {
    const char* port = nullptr;
    bool list = false;
    bool version = false;
    bool help = false;
    std::uint32_t deadline_ms = 0;
};

[[noreturn]] void usage_error(const char* format, ...) QDM7_PRINTF(1, 2);
[[noreturn]] void usage_error(const char* format, ...)
{
    std::fputs("qdm7-flash: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputs("; try 'qdm7-flash --help'\n", stderr);
    std::exit(EXIT_USAGE);
}

// The value of an option given as "--name VALUE" or "--name=VALUE".
const char* option_value(int argc, char** argv, int& i, const char* name)
{
    const std::size_t n = std::strlen(name);
    if (argv[i][n] == '=')
        return argv[i] + n + 1;
    if (i + 1 >= argc)
        usage_error("%s needs a value", name);
    return argv[++i];
}

// Seconds as plain decimal digits with an optional fraction ("120", "2.5"),
// above 0 and up to the limit; false for anything else.
bool parse_deadline(const char* text, std::uint32_t& ms)
{
    const char* at = text;
    const auto digits = [&at] {
        const char* from = at;
        while (*at >= '0' && *at <= '9')
            ++at;
        return at > from;
    };
    if (!digits() || (*at == '.' && (++at, !digits())) || *at != '\0')
        return false;
    const double seconds = std::strtod(text, nullptr);
    if (!(seconds > 0) || seconds > static_cast<double>(MAX_DEADLINE_SECONDS))
        return false;
    ms = static_cast<std::uint32_t>(std::ceil(seconds * 1000.0));
    return true;
}

bool is_option(const char* arg, const char* name)
{
    const std::size_t n = std::strlen(name);
    return std::strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=');
}

Options parse_options(int argc, char** argv)
{
    Options options;
    int actions = 0;
    bool deadline_given = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (is_option(arg, "--port")) {
            options.port = option_value(argc, argv, i, "--port");
            if (options.port[0] == '\0')
                usage_error("--port needs a path");
            if (std::strlen(options.port) >= PORT_PATH_SIZE)
                usage_error("--port: path too long");
            ++actions;
        } else if (is_option(arg, "--deadline")) {
            const char* value = option_value(argc, argv, i, "--deadline");
            if (!parse_deadline(value, options.deadline_ms))
                usage_error("--deadline needs plain decimal seconds above 0, up to %ld (a week), "
                            "such as 120 or 2.5, not '%s'",
                            MAX_DEADLINE_SECONDS, value);
            deadline_given = true;
        } else if (std::strcmp(arg, "--list") == 0) {
            options.list = true;
            ++actions;
        } else if (std::strcmp(arg, "--version") == 0) {
            options.version = true;
            ++actions;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            options.help = true;
            ++actions;
        } else {
            usage_error("unknown argument %s", arg);
        }
    }
    if (options.help)
        return options;
    if (actions == 0)
        usage_error("no port given");
    if (actions > 1)
        usage_error("give one of --port, --list, --version");
    if (deadline_given && options.port == nullptr)
        usage_error("--deadline goes with --port");
    return options;
}

// The job and what start-up gives it, as the dialog prepares them.
UpdateJob job;
std::uint8_t frame_buffer[FRAME_BUFFER_SIZE];

void prepare_job()
{
    job.buffer_capacity = FRAME_BUFFER_SIZE;
    job.frame_buffer = frame_buffer;
    job.unit_address = UNIT_ADDRESS;
    job.port_handle = INVALID_PORT_HANDLE;
    load_firmware_image(program_instance(), job);
}

// Every way out: the line being redrawn ended, the trace flushed, and the
// port, if open, given back.
void wind_up()
{
    display_end();
    trace_flush();
    if (job.port_handle != INVALID_PORT_HANDLE) {
        close_port(job);
        stop_watch_port(INVALID_PORT_HANDLE);
    }
}

// The fatal text, after a line that names the port it concerns.
void show_fatal_text(const char* text)
{
    wind_up();
    if (job.port_path != nullptr)
        std::fprintf(stderr, "qdm7-flash: port %s:", job.port_path);
    std::fputs(text, stderr);
    std::fflush(stderr);
}

void list_one(void*, const char* path) { std::printf("%s\n", path); }
void select_nothing(void*) {}

int list_ports()
{
    if (discover_ports(PortList{nullptr, list_one, select_nothing}) == 0)
        std::fprintf(stderr, "qdm7-flash: no serial ports found\n");
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
[[noreturn]] void end_early(int status, const char* format, ...) QDM7_PRINTF(2, 3);
[[noreturn]] void end_early(int status, const char* format, ...)
{
    wind_up();
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    display_say("%s", text);
    std::exit(status);
}

[[noreturn]] void stop_now(StopReason reason, std::uint32_t deadline_ms)
{
    if (reason == StopReason::Deadline)
        end_early(static_cast<int>(reason), "deadline of %g s passed; port closed", deadline_ms / 1000.0);
    end_early(static_cast<int>(reason), "interrupted; port closed");
}

int run_update(const Options& options)
{
    stop_watch_start(options.deadline_ms);
    prepare_job();
    display_start(job, stderr_is_terminal());
    if (QDM7_SAMPLE_IMAGE)
        display_say("warning: sample image (not a release), not firmware for a real QDM7");

    // What the dialog's update button does, for a serial port only.
    job.baud_rate = LINK_BAUD;
    job.port_path = options.port;
    if (!open_serial_port(job))
        end_early(EXIT_FATAL, "%s is not a serial port; left untouched", options.port);
    stop_watch_port(job.port_handle);
    configure_port(job.port_handle, LINK_BAUD, READ_INTERVAL_MS);
    job.state = JobState::Start;
    set_status("Contacting Device...");

    // What the dialog's timer does, until the job ends.
    for (;;) {
        if (stop_requested() != StopReason::None)
            stop_now(stop_requested(), options.deadline_ms);
        job_tick(job);
        trace_flush(); // the Windows runtime cannot line-buffer it
        if (job.state == JobState::Completed || job.state == JobState::Failed)
            break;
        // A cancelled wait can look like a lost port: the stop comes first.
        if (stop_requested() != StopReason::None)
            continue;
        if (port_lost(job.port_handle))
            end_early(EXIT_PORT_LOST,
                      "lost the port %s: the device is gone (unplugged, or its cable pulled); port closed",
                      job.port_path);
        display_refresh();
        sleep_ms(TICK_PAUSE_MS);
    }
    if (job.state == JobState::Completed)
        set_status("Programming Completed");
    wind_up();
    return job.state == JobState::Completed ? EXIT_COMPLETED : EXIT_VERIFY_FAILED;
}

} // namespace

int main(int argc, char** argv)
{
    // Whoever follows the trace in a file sees each line as it comes.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    set_status_sink(display_status);
    set_fatal_sink(show_fatal_text);
    const Options options = parse_options(argc, argv);
    if (options.help) {
        std::fputs(USAGE, stdout);
        return EXIT_COMPLETED;
    }
    if (options.list)
        return list_ports();
    if (options.version)
        return print_version();
    return run_update(options);
}
