// qdm7-flash: the update job of the dialog, driven over a serial port
// without a window, for scripts, production lines and POSIX users. It ticks
// the job as the dialog's timer does: a tick, then 10 ms, until the job
// completes or fails.
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "build_info.h"
#include "engine/frames.h"
#include "engine/image.h"
#include "engine/job.h"
#include "platform/embedded_image.h"
#include "platform/report.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/console.h"
#include "tools/qdm7-flash/display.h"
#include "tools/qdm7-flash/flash_options.h"

namespace {

constexpr int EXIT_COMPLETED = 0;
constexpr int EXIT_FATAL = 1;
constexpr int EXIT_VERIFY_FAILED = 2;
constexpr int EXIT_PORT_LOST = 4;
constexpr int EXIT_USAGE = 64;

// One update: the job, its frame buffer and what the screen shows of it,
// owned by main for the whole run.
struct FlashRun {
    FlashOptions options;
    UpdateJob job;
    std::array<std::uint8_t, FRAME_BUFFER_SIZE> frame_buffer{};
    Display display;
    const char* opening = nullptr; // the port, from the moment it is opened
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

[[noreturn]] void stop_now(FlashRun& run, StopReason reason)
{
    if (reason == StopReason::Deadline)
        end_early(run, static_cast<int>(reason), "deadline of %g s passed; port closed",
                  run.options.deadline_ms / 1000.0);
    end_early(run, static_cast<int>(reason), "interrupted; port closed");
}

int run_update(FlashRun& run)
{
    UpdateJob& job = run.job;
    stop_watch_start(run.options.deadline_ms);
    // The trace goes to standard output, as the platform's; the status texts
    // to the display, which draws the job's progress from its record.
    prepare_job(job, run.frame_buffer.data(), JobReporter{&run.display, display_job_status, nullptr, nullptr});
    const EmbeddedImage image = find_embedded_image(program_instance());
    load_firmware_image(image.data, image.length, job);
    display_start(run.display, job, stderr_is_terminal());
    if (QDM7_SAMPLE_IMAGE)
        display_say(run.display, "warning: sample image (not a release), not firmware for a real QDM7");

    // What the dialog's update button does, for a serial port only.
    const char* port_path = run.opening = run.options.port.c_str();
    const PortHandle port = open_serial_port(port_path, LINK_BAUD);
    if (port == INVALID_PORT_HANDLE)
        end_early(run, EXIT_FATAL, "%s is not a serial port; left untouched", port_path);
    stop_watch_port(port);
    configure_port(port, LINK_BAUD, READ_INTERVAL_MS);
    start_job(job, port_path, port);

    // What the dialog's timer does, until the job ends.
    for (;;) {
        if (stop_requested() != StopReason::None)
            stop_now(run, stop_requested());
        job_tick(job);
        job_trace_flush(job); // the Windows runtime cannot line-buffer it
        if (job.state == JobState::Completed || job.state == JobState::Failed)
            break;
        // A cancelled wait can look like a lost port: the stop comes first.
        if (stop_requested() != StopReason::None)
            continue;
        if (port_lost(job.port_handle))
            end_early(run, EXIT_PORT_LOST,
                      "lost the port %s: the device is gone (unplugged, or its cable pulled); port closed",
                      port_path);
        display_refresh(run.display);
        sleep_ms(JOB_TICK_MS);
    }
    if (job.state == JobState::Completed)
        display_status(run.display, "Programming Completed");
    wind_up(run);
    return job.state == JobState::Completed ? EXIT_COMPLETED : EXIT_VERIFY_FAILED;
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
