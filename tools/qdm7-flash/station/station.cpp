#include "tools/qdm7-flash/station/station.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "engine/image.h"
#include "platform/embedded_image.h"
#include "platform/report.h"
#include "platform/serial_port.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/exit_codes.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/console/stop_watch.h"
#include "tools/qdm7-flash/run/verify.h"
#include "tools/qdm7-flash/run/worker.h"
#include "tools/qdm7-flash/station/slot.h"
#include "tools/qdm7-flash/view/display.h"
#include "tools/qdm7-flash/view/ports_display.h"

namespace {

// --- One port ------------------------------------------------------------------------------

// The station of one port, on the main thread.
struct One {
    Worker worker;
    Display display;
    const char* opening = nullptr; // the port, from the moment its run begins
};

// Every way out: the line being redrawn ended, the trace flushed, and the
// port, if open, given back.
void wind_up(One& one)
{
    display_end(one.display);
    job_trace_flush(one.worker.job);
    if (one.worker.setup.trace_file != nullptr)
        std::fclose(one.worker.setup.trace_file);
    one.worker.setup.trace_file = nullptr;
    if (one.worker.job.port_handle != INVALID_PORT_HANDLE) {
        close_port(one.worker.job.port_handle);
        stop_watch_port(INVALID_PORT_HANDLE);
    }
}

// The fatal sink: the fatal text, after a line that names the port it
// concerns.
void show_fatal_text(void* context, const char* text)
{
    One& one = *static_cast<One*>(context);
    wind_up(one);
    if (one.opening != nullptr)
        std::fprintf(stderr, "qdm7-flash: port %s:", one.opening);
    std::fputs(text, stderr);
    std::fflush(stderr);
}

// Ends the run: the port given back, then the reason said; returns status.
int end_with(One& one, int status, const char* format, ...) QDM7_PRINTF(3, 4);
int end_with(One& one, int status, const char* format, ...)
{
    wind_up(one);
    va_list args;
    va_start(args, format);
    const std::string text = vprinted(format, args);
    va_end(args);
    display_say(one.display, "%s", text.c_str());
    return status;
}

// The image could not be loaded: its fatal text, as the fatal sink says it
// (no port is named: none was opened yet).
int end_fatally(One& one, const ImageFailure& failure)
{
    wind_up(one);
    std::fputs(image_failure_text(failure).c_str(), stderr);
    std::fflush(stderr);
    return EXIT_FATAL;
}

void one_status(void* context, const char* text) { display_status(static_cast<One*>(context)->display, text); }

void one_started(void* context)
{
    One& one = *static_cast<One*>(context);
    one.opening = one.worker.setup.port.c_str();
}

void one_ticked(void* context) { display_refresh(static_cast<One*>(context)->display); }

void one_note(void* context, PortRunNote note, const char* text)
{
    One& one = *static_cast<One*>(context);
    display_say(one.display, "%s", text);
    // A fresh attempt: its progress and rate counted afresh.
    if (note == PortRunNote::Restarting || note == PortRunNote::Checked)
        display_start(one.display, one.worker.job, one.display.terminal);
}

int run_one(const StationSetup& setup)
{
    // Still in place when the fatal sink winds it up: the process then ends
    // without coming back here.
    static One one;
    Worker& worker = one.worker;
    stop_watch_start(setup.deadline_ms);
    set_fatal_sink(show_fatal_text, &one);
    worker.setup.port = setup.ports.front();
    worker.setup.deadline_ms = setup.deadline_ms;
    worker.setup.reconnect = setup.reconnect;
    worker.setup.report = setup.report;
    worker.setup.verify_first = setup.skip_if_current;
    worker.view = WorkerView{&one, one_status, one_started, one_ticked, one_note};
    display_start(one.display, worker.job, stderr_is_terminal());
    if (!setup.log_dir.empty()) {
        const std::string path = trace_file_paths(setup.log_dir, setup.ports, utc_now_ms()).front();
        worker.setup.trace_to = TraceTo::File;
        worker.setup.trace_file = std::fopen(path.c_str(), "w");
        if (worker.setup.trace_file == nullptr)
            return end_with(one, EXIT_FATAL, "cannot write the trace file %s", path.c_str());
    }

    const PortRunRecord& run = worker.run;
    const PortRunResult result = run_worker(worker);
    if (worker.image_failure.kind != ImageFailureKind::None)
        return end_fatally(one, worker.image_failure);
    // Updated, but not on record as asked.
    const bool on_record = worker.record_error.empty();
    if (!on_record)
        display_say(one.display, "the record of this update could not be written to %s: %s",
                    setup.report_path.c_str(), worker.record_error.c_str());
    const double deadline_s = setup.deadline_ms / 1000.0;
    switch (result) {
    case PortRunResult::Completed:
        display_status(one.display, "Programming Completed");
        wind_up(one);
        return on_record ? EXIT_COMPLETED : EXIT_FATAL;
    case PortRunResult::Current:
        return end_with(one, on_record ? EXIT_COMPLETED : EXIT_FATAL,
                        "the device already holds this image: nothing written%s",
                        run.verified.reset_acknowledged ? "; reset into it" : "; its reset was not acknowledged");
    case PortRunResult::Failed:
        wind_up(one);
        return EXIT_VERIFY_FAILED;
    case PortRunResult::Error:
        if (run.open_failure.not_serial())
            return end_with(one, EXIT_FATAL, "%s is not a serial port; left untouched", worker.setup.port.c_str());
        // Who holds it, or why this user may not open it: said first.
        if (run.open_failure.busy || run.open_failure.denied)
            display_say(one.display, "%s", run.error.c_str());
        fatal_error_with_code(PORT_OPEN_FAILED_TEXT, run.open_failure.code);
    case PortRunResult::Echoing:
        return end_with(one, EXIT_FATAL, "%s: %s; port closed", run.port.c_str(), ECHO_TEXT);
    case PortRunResult::Lost:
        return end_with(one, EXIT_PORT_LOST,
                        "lost the port %s: the device is gone (unplugged, or its cable pulled); port closed",
                        run.port.c_str());
    case PortRunResult::Deadline:
        if (run.waiting)
            return end_with(one, EXIT_DEADLINE,
                            "deadline of %g s passed while waiting for the lost port %s to come back", deadline_s,
                            run.port.c_str());
        return end_with(one, EXIT_DEADLINE, "deadline of %g s passed; port closed", deadline_s);
    case PortRunResult::Interrupted:
        if (run.waiting)
            return end_with(one, EXIT_INTERRUPTED, "interrupted while waiting for the lost port %s to come back",
                            run.port.c_str());
        return end_with(one, EXIT_INTERRUPTED, "interrupted; port closed");
    }
    return EXIT_FATAL;
}

// --- Verifying ----------------------------------------------------------------------------------

// "3, 17, 40-97", counted from 1 as the progress counts them.
std::string block_list(const std::vector<std::int32_t>& blocks)
{
    std::string text;
    for (std::size_t i = 0; i < blocks.size();) {
        std::size_t last = i;
        while (last + 1 < blocks.size() && blocks[last + 1] == blocks[last] + 1)
            ++last;
        if (!text.empty())
            text += ", ";
        text += std::to_string(blocks[i] + 1);
        if (last > i) {
            text += '-';
            text += std::to_string(blocks[last] + 1);
        }
        i = last + 1;
    }
    return text;
}

// --- Several ports ---------------------------------------------------------------------------

// How often the main thread looks at the threads and draws.
constexpr std::uint32_t MAIN_POLL_MS = 20;

// The fatal sink while several ports are updated: no one port to name.
void show_fatal_text_of_many(void*, const char* text)
{
    std::fputs(text, stderr);
    std::fflush(stderr);
}

int run_many(const StationSetup& setup)
{
    stop_watch_start(0); // the deadline is each port's own
    set_fatal_sink(show_fatal_text_of_many, nullptr);
    PortsDisplay display;
    const bool terminal = stderr_is_terminal() && terminal_cursor_moves();
    display.columns = terminal_columns;
    display.rows = terminal_rows;
    ports_display_start(display, setup.ports, terminal, stderr);

    const std::vector<std::string> trace_paths =
        setup.log_dir.empty() ? std::vector<std::string>{}
                              : trace_file_paths(setup.log_dir, setup.ports, utc_now_ms());
    std::vector<std::unique_ptr<Slot>> slots;
    for (std::size_t i = 0; i < setup.ports.size(); ++i) {
        auto slot = std::make_unique<Slot>();
        slot->index = i;
        slot->display = &display;
        WorkerSetup& worker = slot->worker.setup;
        worker.port = setup.ports[i];
        worker.deadline_ms = setup.deadline_ms;
        worker.reconnect = setup.reconnect;
        worker.own_thread = true;
        worker.trace_to = trace_paths.empty() ? TraceTo::Nowhere : TraceTo::File;
        worker.report = setup.report;
        worker.record_given_port = true;
        worker.verify_first = setup.skip_if_current;
        slot->worker.view = slot_view(*slot);
        slots.push_back(std::move(slot));
    }
    // Every trace file opened before any update starts: a folder that cannot
    // take them is said at once.
    for (std::size_t i = 0; i < trace_paths.size(); ++i) {
        slots[i]->worker.setup.trace_file = std::fopen(trace_paths[i].c_str(), "w");
        if (slots[i]->worker.setup.trace_file == nullptr) {
            ports_display_note(display, printed("cannot write the trace file %s", trace_paths[i].c_str()).c_str());
            for (auto& opened : slots)
                if (opened->worker.setup.trace_file != nullptr)
                    std::fclose(opened->worker.setup.trace_file);
            return EXIT_FATAL;
        }
    }
    for (auto& slot : slots)
        slot->thread = std::thread(update_slot, std::ref(*slot), std::cref(setup.report_path));

    for (;;) {
        bool all = true;
        for (const auto& slot : slots)
            all = all && slot->finished;
        if (all)
            break;
        ports_display_draw(display);
        sleep_ms(MAIN_POLL_MS);
    }
    for (auto& slot : slots) {
        slot->thread.join();
        if (slot->worker.setup.trace_file != nullptr)
            std::fclose(slot->worker.setup.trace_file);
    }
    ports_display_end(display);

    std::vector<PortView> views;
    bool every_one = true;
    bool records_lost = false;
    for (const auto& slot : slots) {
        views.push_back(slot->view);
        every_one = every_one && slot->view.phase == PortPhase::Done &&
                    slot->view.result == DeviceResult::Completed;
        records_lost = records_lost || !slot->worker.record_error.empty();
    }
    std::fputs(format_summary(setup.ports, views, terminal ? terminal_columns() : 0).c_str(), stderr);
    // The image could not be loaded (for any port, then, as they load the same).
    for (const auto& slot : slots) {
        if (slot->worker.image_failure.kind != ImageFailureKind::None) {
            show_fatal_text_of_many(nullptr, image_failure_text(slot->worker.image_failure).c_str());
            return EXIT_FATAL;
        }
    }
    if (stop_requested() == StopReason::Interrupted) {
        std::fprintf(stderr, "qdm7-flash: interrupted; every port closed\n");
        return EXIT_INTERRUPTED;
    }
    if (records_lost)
        std::fprintf(stderr, "qdm7-flash: some records could not be written to %s\n", setup.report_path.c_str());
    if (!every_one) {
        std::fprintf(stderr, "qdm7-flash: not every device was updated\n");
        return EXIT_NOT_ALL_UPDATED;
    }
    // Every device updated, but not every update is on record.
    return records_lost ? EXIT_FATAL : EXIT_COMPLETED;
}

// A port's name as a file name: the system's folder left out, and anything
// but letters, digits, '.', '_' and '-' made '-'.
std::string file_name_of(const std::string& port)
{
    std::string name = port;
    for (const char* folder : {"/dev/", "\\\\.\\", "\\\\?\\"}) {
        const std::string start = folder;
        if (name.rfind(start, 0) == 0) {
            name.erase(0, start.size());
            break;
        }
    }
    for (char& c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == '-';
        if (!plain)
            c = '-';
    }
    while (!name.empty() && (name.front() == '.' || name.front() == '-'))
        name.erase(0, 1);
    return name.empty() ? "port" : name;
}

} // namespace

int run_verify(const std::string& port, std::uint32_t deadline_ms)
{
    Display display;
    UpdateJob job;
    std::vector<std::uint8_t> frame_buffer(FRAME_BUFFER_SIZE);
    stop_watch_start(deadline_ms);
    prepare_job(job, frame_buffer.data(), JobReporter{&display, display_job_status, nullptr, nullptr});
    display_start(display, job, stderr_is_terminal());
    const EmbeddedImage image = find_embedded_image(program_instance());
    ImageFailure failure;
    if (!try_load_firmware_image(image.data, image.length, job, failure)) {
        std::fputs(image_failure_text(failure).c_str(), stderr);
        std::fflush(stderr);
        return EXIT_FATAL;
    }
    VerifyRecord record;
    const VerifyResult result = verify_port(job, port.c_str(), record);
    const std::int32_t blocks = job.image_size / BLOCK_SIZE;
    release_firmware_image(job);
    switch (result) {
    case VerifyResult::Holds:
        display_say(display, "the device holds this image (%s, %s)%s", counted(blocks, "block").c_str(),
                    counted(record.queries, "CRC query", "CRC queries").c_str(),
                    record.reset_acknowledged ? "; reset into it" : "; its reset was not acknowledged");
        return EXIT_COMPLETED;
    case VerifyResult::Differs:
        // "1 of 1 block differs", "1 of 97 blocks differ"
        display_say(display, "the device does not hold this image: %zu of %s %s (%s); "
                    "left in its loader, nothing written", record.differing.size(), counted(blocks, "block").c_str(),
                    blocks == 1 ? "differs" : "differ", block_list(record.differing).c_str());
        return EXIT_VERIFY_FAILED;
    case VerifyResult::Deadline:
        display_say(display, "deadline of %g s passed; port closed", deadline_ms / 1000.0);
        return EXIT_DEADLINE;
    case VerifyResult::Interrupted:
        display_say(display, "interrupted; port closed");
        return EXIT_INTERRUPTED;
    case VerifyResult::Echoing:
        display_say(display, "%s: %s; port closed, nothing written", port.c_str(), ECHO_TEXT);
        return EXIT_FATAL;
    case VerifyResult::Error:
        break;
    }
    if (record.open_failure.kind != PortFailureKind::None)
        display_say(display, "cannot verify %s: %s", port.c_str(),
                    open_failure_text(port.c_str(), record.open_failure).c_str());
    else
        display_say(display, "cannot verify %s: %s", port.c_str(), record.error.c_str());
    return EXIT_FATAL;
}

int run_station(const StationSetup& setup)
{
    if (setup.ports.size() == 1)
        return run_one(setup);
    return run_many(setup);
}

std::vector<std::string> trace_file_paths(const std::string& folder, const std::vector<std::string>& ports,
                                          std::int64_t utc_ms)
{
    const std::string stamp = utc_stamp(utc_ms);
    std::vector<std::string> paths;
    for (const std::string& port : ports) {
        const std::string base = file_name_of(port) + "-" + stamp;
        std::string path;
        for (int n = 1;; ++n) {
            const std::string name = n == 1 ? base + ".log" : base + "-" + std::to_string(n) + ".log";
            path = (std::filesystem::path(folder) / name).string();
            std::error_code ignored;
            if (std::find(paths.begin(), paths.end(), path) == paths.end() &&
                !std::filesystem::exists(path, ignored))
                break;
        }
        paths.push_back(path);
    }
    return paths;
}
