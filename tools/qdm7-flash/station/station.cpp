#include "tools/qdm7-flash/station/station.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "engine/image.h"
#include "platform/embedded_image.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/run/verify.h"
#include "tools/qdm7-flash/station/closing.h"
#include "tools/qdm7-flash/station/slot.h"
#include "tools/qdm7-flash/view/display.h"
#include "tools/qdm7-flash/view/ports_display.h"

namespace {

// --- One port ------------------------------------------------------------------------------

// The station of one port, on the main thread.
struct One {
    Worker worker;
    Display display;
};

// Every way out: the line being redrawn ended, the trace flushed and its
// file closed.
void wind_up(One& one)
{
    display_end(one.display);
    job_trace_flush(one.worker.job);
    close_trace(one.worker.setup);
}

int columns_of(const Display& display) { return display.terminal ? terminal_columns() : 0; }

void one_status(void* context, const char* text) { display_status(static_cast<One*>(context)->display, text); }

void one_ticked(void* context) { display_refresh(static_cast<One*>(context)->display); }

void one_note(void* context, PortRunNote note, const char* text)
{
    One& one = *static_cast<One*>(context);
    display_say(one.display, "%s", text);
    // A fresh attempt: its progress and rate counted afresh.
    if (note == PortRunNote::Restarting || note == PortRunNote::Checked)
        display_start(one.display, one.worker.job, one.display.terminal);
}

// How the lone port's update ended, in the words of the one-line display:
// its kind, and what is said after the status texts.
Outcome lone_outcome(const Worker& worker, std::uint32_t deadline_ms, int columns)
{
    const PortRunRecord& run = worker.run;
    const Host& host = *worker.setup.host;
    if (worker.image_failure.kind != ImageFailureKind::None)
        return worker.outcome; // the fatal text; no port is named, none was opened
    const auto said = [&](const std::string& text) { return said_text(text, columns); };
    // Updated, but not on record as asked: said first.
    const bool on_record = worker.record_error.empty();
    std::string text;
    if (!on_record)
        text = said(printed("the record of this update could not be written to %s: %s",
                            worker.setup.report_path.c_str(), worker.record_error.c_str()));
    const OutcomeKind recorded = on_record ? OutcomeKind::Completed : OutcomeKind::Fatal;
    const double deadline_s = deadline_ms / 1000.0;
    const char* port = run.port.c_str();
    switch (run.result) {
    // The last status text, as the dialog's.
    case PortRunResult::Completed: return {recorded, 0, text + "Programming Completed\n"};
    case PortRunResult::Current:
        return {recorded, 0,
                text + said(printed("the device already holds this image: nothing written%s",
                                    run.verified.reset_acknowledged ? "; reset into it"
                                                                    : "; its reset was not acknowledged"))};
    case PortRunResult::Failed: return {OutcomeKind::VerifyFailed, 0, text};
    case PortRunResult::Error:
        if (run.open_failure.not_serial())
            return {OutcomeKind::Fatal, 0, text + said(printed("%s is not a serial port; left untouched",
                                                               worker.setup.port.c_str()))};
        // Who holds it, or why this user may not open it: said first; then
        // the fatal text, after a line that names the port.
        if (run.open_failure.busy || run.open_failure.denied)
            text += said(worker.outcome.text);
        return {OutcomeKind::Fatal, run.open_failure.code,
                text + printed("qdm7-flash: port %s:", worker.setup.port.c_str()) +
                    host.fatal_text(PORT_OPEN_FAILED_TEXT, run.open_failure.code)};
    case PortRunResult::Echoing:
        return {OutcomeKind::Fatal, 0, text + said(printed("%s: %s; port closed", port, ECHO_TEXT))};
    case PortRunResult::Lost:
        return {OutcomeKind::PortLost, 0,
                text + said(printed("lost the port %s: the device is gone (unplugged, or its cable pulled); "
                                    "port closed", port))};
    case PortRunResult::Deadline:
        return {OutcomeKind::Deadline, 0,
                text + said(run.waiting ? printed("deadline of %g s passed while waiting for the lost port %s to "
                                                  "come back", deadline_s, port)
                                        : printed("deadline of %g s passed; port closed", deadline_s))};
    case PortRunResult::Interrupted:
        return {OutcomeKind::Interrupted, 0,
                text + said(run.waiting ? printed("interrupted while waiting for the lost port %s to come back", port)
                                        : std::string("interrupted; port closed"))};
    }
    return {OutcomeKind::Fatal, 0, text};
}

Outcome run_one(const StationSetup& setup)
{
    const UpdateSetup& update = setup.update;
    update.host->watch_for_stop(update.deadline_ms);
    One one;
    Worker& worker = one.worker;
    worker.setup = worker_setup(update, setup.ports.front(), WorkerRole::Lone);
    worker.view = WorkerView{&one, one_status, nullptr, one_ticked, one_note};
    display_start(one.display, worker.job, stderr_is_terminal());
    if (!update.log_dir.empty()) {
        const std::string path = trace_file_paths(update.log_dir, setup.ports, utc_now_ms()).front();
        const Outcome refused = open_trace(worker.setup, path);
        if (refused.kind != OutcomeKind::Completed)
            return {refused.kind, refused.number, said_text(refused.text, columns_of(one.display))};
    }
    run_worker(worker);
    // The job's own last status has ended any line being redrawn.
    wind_up(one);
    return lone_outcome(worker, update.deadline_ms, columns_of(one.display));
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

Outcome run_many(const StationSetup& setup)
{
    const UpdateSetup& update = setup.update;
    const Host& host = *update.host;
    host.watch_for_stop(0); // the deadline is each port's own
    PortsDisplay display;
    const bool terminal = stderr_is_terminal() && terminal_cursor_moves();
    const int columns = terminal ? terminal_columns() : 0;
    display.columns = terminal_columns;
    display.rows = terminal_rows;
    display.now = host.tick_count;

    std::vector<std::unique_ptr<Slot>> slots;
    for (std::size_t i = 0; i < setup.ports.size(); ++i) {
        auto slot = std::make_unique<Slot>();
        slot->index = i;
        slot->display = &display;
        slot->worker.setup = worker_setup(update, setup.ports[i], WorkerRole::OneOfSeveral);
        slot->worker.view = slot_view(*slot);
        slots.push_back(std::move(slot));
    }
    // Every trace file opened before any update starts: a folder that cannot
    // take them is said at once.
    if (!update.log_dir.empty()) {
        const std::vector<std::string> paths = trace_file_paths(update.log_dir, setup.ports, utc_now_ms());
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const Outcome refused = open_trace(slots[i]->worker.setup, paths[i]);
            if (refused.kind != OutcomeKind::Completed) {
                for (auto& opened : slots)
                    close_trace(opened->worker.setup);
                return {refused.kind, refused.number, said_text(refused.text, columns)};
            }
        }
    }
    ports_display_start(display, setup.ports, terminal, stderr);
    for (auto& slot : slots)
        start_slot(*slot);
    for (;;) {
        const auto done = [](const std::unique_ptr<Slot>& slot) { return slot->finished.load(); };
        if (std::all_of(slots.begin(), slots.end(), done))
            break;
        ports_display_draw(display);
        host.sleep_ms(MAIN_POLL_MS);
    }
    for (auto& slot : slots)
        end_slot(*slot);
    ports_display_end(display);

    std::vector<PortView> views;
    RunEnds ends;
    for (const auto& slot : slots) {
        const Worker& worker = slot->worker;
        views.push_back(slot->view);
        ends.all_completed = ends.all_completed && slot->view.phase == PortPhase::Done &&
                             slot->view.result == DeviceResult::Completed;
        ends.records_lost = ends.records_lost || !worker.record_error.empty();
        // The image could not be loaded (for any port, then, as they load the same).
        if (worker.image_failure.kind != ImageFailureKind::None && ends.image_fatal.empty()) {
            ends.image_fatal = worker.outcome.text;
            ends.image_number = worker.outcome.number;
        }
    }
    ends.summary = format_summary(setup.ports, views, columns);
    ends.report_path = update.report_path;
    ends.interrupted = host.stop_requested() == StopReason::Interrupted;
    ends.columns = columns;
    return run_outcome(ends);
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

Outcome run_verify(const Host& host, const std::string& port, std::uint32_t deadline_ms)
{
    Display display;
    UpdateJob job;
    std::vector<std::uint8_t> frame_buffer(FRAME_BUFFER_SIZE);
    host.watch_for_stop(deadline_ms);
    prepare_job(job, frame_buffer.data(), JobReporter{&display, display_job_status, nullptr, nullptr});
    display_start(display, job, stderr_is_terminal());
    const EmbeddedImage image = find_embedded_image(program_instance());
    ImageFailure failure;
    if (!try_load_firmware_image(image.data, image.length, job, failure))
        return {OutcomeKind::Fatal, failure.error_code, host.fatal_text(failure.text, failure.error_code)};
    VerifyRecord record;
    const VerifyResult result = verify_port(job, port.c_str(), record, host);
    const std::int32_t blocks = job.image_size / BLOCK_SIZE;
    release_firmware_image(job);
    display_end(display);
    const int columns = columns_of(display);
    const auto said = [&](const std::string& text) { return said_text(text, columns); };
    switch (result) {
    case VerifyResult::Holds:
        return {OutcomeKind::Completed, 0,
                said(printed("the device holds this image (%s, %s)%s", counted(blocks, "block").c_str(),
                             counted(record.queries, "CRC query", "CRC queries").c_str(),
                             record.reset_acknowledged ? "; reset into it" : "; its reset was not acknowledged"))};
    case VerifyResult::Differs:
        // "1 of 1 block differs", "1 of 97 blocks differ"
        return {OutcomeKind::VerifyFailed, 0,
                said(printed("the device does not hold this image: %zu of %s %s (%s); left in its loader, nothing "
                             "written", record.differing.size(), counted(blocks, "block").c_str(),
                             blocks == 1 ? "differs" : "differ", block_list(record.differing).c_str()))};
    case VerifyResult::Deadline:
        return {OutcomeKind::Deadline, 0, said(printed("deadline of %g s passed; port closed", deadline_ms / 1000.0))};
    case VerifyResult::Interrupted: return {OutcomeKind::Interrupted, 0, said("interrupted; port closed")};
    case VerifyResult::Echoing:
        return {OutcomeKind::Fatal, 0, said(printed("%s: %s; port closed, nothing written", port.c_str(), ECHO_TEXT))};
    case VerifyResult::Error: break;
    }
    const PortFailure& open_failure = record.open_failure;
    const std::string why = open_failure.kind != PortFailureKind::None
                                ? open_failure_text(host, port.c_str(), open_failure)
                                : record.error;
    return {OutcomeKind::Fatal, open_failure.code, said(printed("cannot verify %s: %s", port.c_str(), why.c_str()))};
}

Outcome run_station(const StationSetup& setup)
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
