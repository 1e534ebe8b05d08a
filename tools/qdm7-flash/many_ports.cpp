#include "tools/qdm7-flash/many_ports.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "build_info.h"
#include "engine/frames.h"
#include "engine/image.h"
#include "engine/job.h"
#include "platform/embedded_image.h"
#include "tools/qdm7-flash/console.h"
#include "tools/qdm7-flash/ports_display.h"
#include "tools/qdm7-flash/printed.h"

namespace {

// As the single port's display: a device that is on answers the first or the
// third contact query; after this many unanswered ones it is plainly off.
constexpr std::uint32_t POWER_HINT_AFTER = 5;
// How often the main thread looks at the threads and draws.
constexpr std::uint32_t MAIN_POLL_MS = 20;

// One port and everything its thread owns.
struct Worker {
    std::size_t index = 0;
    std::string port;
    const ManyPorts* setup = nullptr;
    PortsDisplay* display = nullptr;
    std::FILE* trace = nullptr;
    std::vector<std::uint8_t> frame_buffer = std::vector<std::uint8_t>(FRAME_BUFFER_SIZE);
    UpdateJob job;
    PortRunRecord record;
    PortView view;
    std::uint32_t contact_began = 0;
    std::uint32_t programming_began = 0;
    bool programming_timed = false;
    std::uint32_t timeouts_said = 0;
    std::string record_error; // the record could not be written: why
    std::atomic<bool> finished{false};
    std::thread thread;
};

PortPhase phase_of(const Worker& worker)
{
    switch (worker.job.state) {
    case JobState::Start:
    case JobState::Link: return PortPhase::Contacting;
    case JobState::Contacting:
        return worker.job.unanswered_contacts >= POWER_HINT_AFTER ? PortPhase::PowerWait : PortPhase::Contacting;
    case JobState::Programming: return PortPhase::Programming;
    case JobState::Verifying:
    case JobState::Failed: return PortPhase::Verifying;
    default: return PortPhase::Resetting;
    }
}

// The view of the job as it is now, handed to the display.
void show_job(Worker& worker)
{
    const UpdateJob& job = worker.job;
    PortView& view = worker.view;
    const PortPhase phase = phase_of(worker);
    const std::uint32_t now = tick_count();
    if (job.state == JobState::Link)
        worker.contact_began = now;
    if (phase == PortPhase::Programming && !worker.programming_timed) {
        worker.programming_timed = true;
        worker.programming_began = now;
    }
    view.phase = phase;
    view.blocks_done = job.offset / BLOCK_SIZE;
    view.blocks_total = (job.image_size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    view.programming_ms = worker.programming_timed ? now - worker.programming_began : 0;
    view.waiting_since = worker.contact_began;
    view.timeouts = worker.record.timeouts > job.timeouts ? worker.record.timeouts : job.timeouts;
    ports_display_update(*worker.display, worker.index, view);
}

void on_status(void* context, const char*) { show_job(*static_cast<Worker*>(context)); }

void on_trace(void* context, const char* text)
{
    const Worker& worker = *static_cast<const Worker*>(context);
    if (worker.trace != nullptr)
        std::fputs(text, worker.trace);
}

void on_trace_flush(void* context)
{
    const Worker& worker = *static_cast<const Worker*>(context);
    if (worker.trace != nullptr)
        std::fflush(worker.trace);
}

// After every tick: the view, and off a terminal a line for each resend
// (on a terminal the line counts them).
void on_tick(void* context)
{
    Worker& worker = *static_cast<Worker*>(context);
    show_job(worker);
    while (worker.timeouts_said < worker.job.timeouts) {
        ++worker.timeouts_said;
        if (worker.display->terminal)
            continue;
        const std::string what = worker.job.state == JobState::Programming
                                     ? printed("block %ld/%ld", static_cast<long>(worker.view.blocks_done + 1),
                                               static_cast<long>(worker.view.blocks_total))
                                     : "the CRC query";
        const std::string text = printed("no reply to %s within %u s; resending it (resend %u)", what.c_str(),
                                         static_cast<unsigned>(worker.job.reply_timeout / 1000),
                                         static_cast<unsigned>(worker.timeouts_said));
        ports_display_say(*worker.display, worker.index, text.c_str());
    }
}

void on_note(void* context, PortRunNote note, const char* text)
{
    Worker& worker = *static_cast<Worker*>(context);
    ports_display_say(*worker.display, worker.index, text);
    if (note == PortRunNote::Lost) {
        worker.view.phase = PortPhase::Reconnecting;
        worker.view.waiting_since = tick_count();
        ports_display_update(*worker.display, worker.index, worker.view);
    } else if (note == PortRunNote::Restarting) {
        // A fresh attempt: its rate counted afresh.
        worker.programming_timed = false;
        worker.timeouts_said = 0;
    }
}

void update_one(Worker& worker)
{
    const ManyPorts& setup = *worker.setup;
    stop_watch_join(setup.deadline_ms);
    prepare_job(worker.job, worker.frame_buffer.data(), JobReporter{&worker, on_status, on_trace, on_trace_flush});
    const EmbeddedImage image = find_embedded_image(program_instance());
    load_firmware_image(image.data, image.length, worker.job);
    job_trace_flush(worker.job);
    PortRunOptions options;
    options.reconnect = setup.reconnect;
    options.context = &worker;
    options.ticked = on_tick;
    options.note = on_note;
    const std::uint32_t began = tick_count();
    const PortRunResult result = run_port(worker.job, worker.port.c_str(), options, worker.record);
    const std::uint32_t elapsed = tick_count() - began;
    stop_watch_leave();
    if (worker.trace != nullptr)
        std::fflush(worker.trace);
    release_firmware_image(worker.job);
    // Ctrl-C: the device did not finish, and has no record.
    if (result != PortRunResult::Interrupted) {
        DeviceRecord record = record_of_run(worker.record, elapsed, static_cast<std::int32_t>(image.length),
                                            setup.deadline_ms);
        record.port = worker.port;
        std::string error;
        if (setup.report != nullptr && !append_record(*setup.report, format_device_record(record), error)) {
            worker.record_error = error;
            ports_display_say(*worker.display, worker.index,
                              printed("its record could not be written to %s: %s", setup.report_path.c_str(),
                                      error.c_str())
                                  .c_str());
        }
        worker.view.phase = PortPhase::Done;
        worker.view.result = record.result;
        worker.view.elapsed_ms = elapsed;
        worker.view.detail = record.result == DeviceResult::Completed ? "" : record.error;
        ports_display_update(*worker.display, worker.index, worker.view);
    }
    worker.finished = true;
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

std::vector<std::string> trace_file_paths(const std::string& folder, const std::vector<std::string>& ports,
                                          std::int64_t utc_ms)
{
    // "20250301T094107Z" from "2025-03-01T09:41:07.250Z".
    std::string stamp;
    for (const char c : utc_iso8601(utc_ms).substr(0, 19))
        if (c != '-' && c != ':')
            stamp += c;
    stamp += 'Z';
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

DeviceRecord record_of_run(const PortRunRecord& run, std::uint32_t elapsed_ms, std::int32_t image_length,
                           std::uint32_t deadline_ms)
{
    using namespace std::chrono;
    DeviceRecord record;
    record.port = run.port;
    record.usb_serial = run.usb_serial;
    record.started_utc_ms = duration_cast<milliseconds>(run.started.time_since_epoch()).count();
    record.ended_utc_ms = duration_cast<milliseconds>(run.ended.time_since_epoch()).count();
    record.elapsed_ms = elapsed_ms;
    record.blocks = run.blocks;
    record.timeouts = run.timeouts;
    record.image_length = image_length;
    record.image_crc = run.image_crc;
    if (run.device_crc_known)
        record.device_crc = run.device_crc;
    record.version = QDM7_VERSION;
    switch (run.result) {
    case PortRunResult::Completed:
        record.result = DeviceResult::Completed;
        break;
    case PortRunResult::Failed:
        record.result = DeviceResult::Failed;
        record.error = run.device_crc_known
                           ? printed("CRC mismatch: the device has 0x%04x, the image 0x%04x",
                                     static_cast<unsigned>(run.device_crc), static_cast<unsigned>(run.image_crc))
                           : "the device's reply to the CRC query is too short to carry a CRC";
        break;
    case PortRunResult::Deadline:
        record.result = DeviceResult::Deadline;
        record.error = printed("deadline of %g s passed%s", deadline_ms / 1000.0,
                               run.waiting ? " while waiting for the lost port to come back"
                               : run.blocks == 0 ? " before the device answered"
                                                 : "");
        break;
    case PortRunResult::Lost:
        record.result = DeviceResult::Lost;
        record.error = run.error;
        break;
    case PortRunResult::Error:
    case PortRunResult::Interrupted:
        record.result = DeviceResult::Error;
        record.error = run.error;
        break;
    }
    return record;
}

int update_many_ports(const ManyPorts& setup)
{
    PortsDisplay display;
    const bool terminal = stderr_is_terminal() && terminal_cursor_moves();
    display.columns = terminal_columns;
    display.rows = terminal_rows;
    ports_display_start(display, setup.ports, terminal, stderr);
    if (QDM7_SAMPLE_IMAGE)
        ports_display_note(display, "warning: sample image (not a release), not firmware for a real QDM7");

    std::vector<std::unique_ptr<Worker>> workers;
    for (std::size_t i = 0; i < setup.ports.size(); ++i) {
        auto worker = std::make_unique<Worker>();
        worker->index = i;
        worker->port = setup.ports[i];
        worker->setup = &setup;
        worker->display = &display;
        workers.push_back(std::move(worker));
    }
    // Every trace file opened before any update starts: a folder that cannot
    // take them is said at once.
    for (std::size_t i = 0; i < setup.trace_paths.size() && i < workers.size(); ++i) {
        workers[i]->trace = std::fopen(setup.trace_paths[i].c_str(), "w");
        if (workers[i]->trace == nullptr) {
            ports_display_note(display, printed("cannot write the trace file %s", setup.trace_paths[i].c_str()).c_str());
            for (auto& opened : workers)
                if (opened->trace != nullptr)
                    std::fclose(opened->trace);
            return 1;
        }
    }
    for (auto& worker : workers)
        worker->thread = std::thread(update_one, std::ref(*worker));

    for (;;) {
        bool all = true;
        for (const auto& worker : workers)
            all = all && worker->finished;
        if (all)
            break;
        ports_display_draw(display);
        sleep_ms(MAIN_POLL_MS);
    }
    for (auto& worker : workers) {
        worker->thread.join();
        if (worker->trace != nullptr)
            std::fclose(worker->trace);
    }
    ports_display_end(display);

    std::vector<PortView> views;
    bool every_one = true;
    bool records_lost = false;
    for (const auto& worker : workers) {
        views.push_back(worker->view);
        every_one = every_one && worker->view.phase == PortPhase::Done &&
                    worker->view.result == DeviceResult::Completed;
        records_lost = records_lost || !worker->record_error.empty();
    }
    if (stop_requested() == StopReason::Interrupted) {
        std::fputs(format_summary(setup.ports, views).c_str(), stderr);
        std::fprintf(stderr, "qdm7-flash: interrupted; every port closed\n");
        return static_cast<int>(StopReason::Interrupted);
    }
    std::fputs(format_summary(setup.ports, views).c_str(), stderr);
    if (records_lost)
        std::fprintf(stderr, "qdm7-flash: some records could not be written to %s\n", setup.report_path.c_str());
    if (!every_one) {
        std::fprintf(stderr, "qdm7-flash: not every device was updated\n");
        return EXIT_NOT_ALL_UPDATED;
    }
    // Every device updated, but not every update is on record.
    return records_lost ? 1 : 0;
}
