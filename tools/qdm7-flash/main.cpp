// qdm7-flash: the update job of the dialog, driven over a serial port
// without a window, for scripts, production lines and POSIX users. It ticks
// the job as the dialog's timer does: a tick, then 10 ms, until the job
// completes or fails.
#include <cmath>
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
#include "tools/qdm7-flash/progress.h"

namespace {

constexpr int EXIT_COMPLETED = 0;
constexpr int EXIT_FATAL = 1;
constexpr int EXIT_VERIFY_FAILED = 2;
constexpr int EXIT_USAGE = 64;

// The dialog's timer: the next tick comes 10 ms after this one ended.
constexpr std::uint32_t TICK_PAUSE_MS = 10;
// Longer than any real run needs, short enough to fit the tick counter.
constexpr double MAX_DEADLINE_SECONDS = 86400.0 * 7;

const char* const USAGE =
    "Usage: qdm7-flash --port PATH [--deadline SECONDS]\n"
    "       qdm7-flash --list | --version | --help\n"
    "\n"
    "Updates a QDM7 with the firmware image built into this program, over the\n"
    "serial port PATH. Start it, then power-cycle the device: the contact query\n"
    "repeats until the device answers.\n"
    "\n"
    "  --port PATH         run the update on this port\n"
    "  --deadline SECONDS  give up after this long (exit 3); without it the\n"
    "                      update retries without limit\n"
    "  --list              print the serial ports found, one a line\n"
    "  --version           name the firmware image carried\n"
    "  --help              this text\n"
    "\n"
    "The trace goes to standard output, status texts to standard error (a\n"
    "progress bar while programming on a terminal).\n"
    "Exit status: 0 completed, 1 fatal error, 2 verification failed (\"FAILED\"),\n"
    "3 deadline passed, 64 usage error, 130 interrupted.\n";

struct Options {
    const char* port = nullptr;
    bool list = false;
    bool version = false;
    bool help = false;
    std::uint32_t deadline_ms = 0;
};

[[noreturn]] void usage_error(const char* what, const char* detail)
{
    std::fprintf(stderr, "qdm7-flash: %s%s; try 'qdm7-flash --help'\n", what, detail);
    std::exit(EXIT_USAGE);
}

// The value of an option given as "--name VALUE" or "--name=VALUE".
const char* option_value(int argc, char** argv, int& i, const char* name)
{
    const std::size_t n = std::strlen(name);
    if (argv[i][n] == '=')
        return argv[i] + n + 1;
    if (i + 1 >= argc)
        usage_error(name, " needs a value");
    return argv[++i];
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
                usage_error("--port", " needs a path");
            if (std::strlen(options.port) >= PORT_PATH_SIZE)
                usage_error("--port", ": path too long");
            ++actions;
        } else if (is_option(arg, "--deadline")) {
            const char* value = option_value(argc, argv, i, "--deadline");
            char* end = nullptr;
            const double seconds = std::strtod(value, &end);
            if (end == value || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 ||
                seconds > MAX_DEADLINE_SECONDS)
                usage_error("--deadline needs a number of seconds above 0, not ", value);
            options.deadline_ms = static_cast<std::uint32_t>(std::ceil(seconds * 1000.0));
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
            usage_error("unknown argument ", arg);
        }
    }
    if (options.help)
        return options;
    if (actions == 0)
        usage_error("no port given", "");
    if (actions > 1)
        usage_error("give one of --port, --list, --version", "");
    if (deadline_given && options.port == nullptr)
        usage_error("--deadline", " goes with --port");
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

// Status texts: one line each, or, while programming on a terminal, one
// progress bar redrawn in place.
bool bar_shown = false;
bool draw_bar = false;
std::uint32_t programming_began = 0;
bool programming_timed = false;

void end_bar()
{
    if (bar_shown) {
        std::fputc('\n', stderr);
        bar_shown = false;
    }
}

void show_status_line(const char* text)
{
    const bool programming = std::strncmp(text, "programming ", 12) == 0;
    if (programming && !programming_timed) {
        programming_began = tick_count();
        programming_timed = true;
    }
    if (programming && draw_bar) {
        char line[PROGRESS_LINE_WIDTH + 160];
        format_progress(line, sizeof line, job.offset, job.image_size, BLOCK_SIZE,
                        tick_count() - programming_began);
        std::fprintf(stderr, "\r%s", line);
        std::fflush(stderr);
        bar_shown = true;
        return;
    }
    if (bar_shown) {
        // The last block is done once programming has moved on.
        char line[PROGRESS_LINE_WIDTH + 160];
        format_progress(line, sizeof line, job.offset, job.image_size, BLOCK_SIZE,
                        tick_count() - programming_began);
        std::fprintf(stderr, "\r%s", line);
        end_bar();
    }
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

void show_fatal_text(const char* text)
{
    end_bar();
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

[[noreturn]] void stop_now(StopReason reason, std::uint32_t deadline_ms)
{
    end_bar();
    trace_flush();
    if (job.port_handle != INVALID_PORT_HANDLE) {
        close_port(job);
        stop_watch_port(INVALID_PORT_HANDLE);
    }
    if (reason == StopReason::Deadline)
        std::fprintf(stderr, "qdm7-flash: deadline of %.3g s passed; port closed\n",
                     deadline_ms / 1000.0);
    else
        std::fprintf(stderr, "qdm7-flash: interrupted; port closed\n");
    std::exit(static_cast<int>(reason));
}

int run_update(const Options& options)
{
    if (QDM7_SAMPLE_IMAGE)
        std::fprintf(stderr, "qdm7-flash: warning: sample image (not a release), "
                             "not firmware for a real QDM7\n");
    stop_watch_start(options.deadline_ms);
    prepare_job();
    draw_bar = stderr_is_terminal();

    // What the dialog's update button does.
    job.baud_rate = LINK_BAUD;
    job.port_path = options.port;
    open_port(job);
    stop_watch_port(job.port_handle);
    configure_port(job.port_handle, LINK_BAUD, READ_INTERVAL_MS);
    job.state = JobState::Start;
    set_status("Contacting Device...");

    // What the dialog's timer does, until the job ends.
    for (;;) {
        if (stop_requested() != StopReason::None)
            stop_now(stop_requested(), options.deadline_ms);
        job_tick(job);
        if (job.state == JobState::Completed || job.state == JobState::Failed)
            break;
        sleep_ms(TICK_PAUSE_MS);
    }
    trace_flush();
    if (job.state == JobState::Completed)
        set_status("Programming Completed");
    close_port(job);
    stop_watch_port(INVALID_PORT_HANDLE);
    return job.state == JobState::Completed ? EXIT_COMPLETED : EXIT_VERIFY_FAILED;
}

} // namespace

int main(int argc, char** argv)
{
    set_status_sink(show_status_line);
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
