#include "tools/qdm7-flash/run/worker.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "build_info.h"
#include "image_text.h"
#include "platform/embedded_image.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/printed.h"

namespace {

void on_status(void* context, const char* text)
{
    const Worker& worker = *static_cast<const Worker*>(context);
    if (worker.view.status != nullptr)
        worker.view.status(worker.view.context, text);
}

// The trace's file, while it can still be written.
std::FILE* trace_file_of(const Worker& worker)
{
    return worker.trace_error.empty() ? worker.setup.trace_file : nullptr;
}

// A trace that could not be written (its disk full, say) is written no
// further; the update goes on.
void trace_written(Worker& worker, bool written)
{
    if (!written)
        worker.trace_error = std::strerror(errno);
}

void on_trace(void* context, const char* text)
{
    Worker& worker = *static_cast<Worker*>(context);
    if (std::FILE* file = trace_file_of(worker))
        trace_written(worker, std::fputs(text, file) != EOF);
}

void on_trace_flush(void* context)
{
    Worker& worker = *static_cast<Worker*>(context);
    if (std::FILE* file = trace_file_of(worker))
        trace_written(worker, std::fflush(file) == 0);
}

JobReporter reporter_of(Worker& worker)
{
    switch (worker.setup.trace_to) {
    case TraceTo::Platform: return JobReporter{&worker, on_status, nullptr, nullptr};
    case TraceTo::File:
    case TraceTo::Nowhere: break;
    }
    return JobReporter{&worker, on_status, on_trace, on_trace_flush};
}

// The record of the run just ended, and where it is written.
void record(Worker& worker, std::int32_t image_length)
{
    const WorkerSetup& setup = worker.setup;
    worker.record = record_of_run(worker.run, worker.outcome, worker.elapsed_ms, image_length);
    if (setup.record_given_port)
        worker.record.port = setup.port;
    worker.record.run_id = setup.run_id;
    worker.recorded = true;
    std::string error;
    if (setup.report != nullptr && !append_record(*setup.report, format_device_record(worker.record), error))
        worker.record_error = error;
}

} // namespace

Outcome open_outputs(UpdateSetup& update, RecordFile& report)
{
    std::string error;
    if (!update.report_path.empty()) {
        if (!open_record_file(report, update.report_path.c_str(), error))
            return {OutcomeKind::Fatal, 0,
                    "qdm7-flash: cannot write the report " + update.report_path + ": " + error + "\n"};
        update.report = &report;
    }
    if (!update.log_dir.empty()) {
        std::error_code made;
        std::filesystem::create_directories(update.log_dir, made);
        if (made || !std::filesystem::is_directory(update.log_dir, made))
            return {OutcomeKind::Fatal, static_cast<unsigned long>(made.value()),
                    "qdm7-flash: cannot make the trace folder " + update.log_dir + ": " +
                        (made ? made.message() : std::string("something else is there")) + "\n"};
    }
    return {};
}

WorkerSetup worker_setup(const UpdateSetup& update, const std::string& port, WorkerRole role,
                         const std::string& run_id)
{
    WorkerSetup setup;
    setup.host = update.host;
    setup.port = port;
    setup.deadline_ms = update.deadline_ms;
    setup.reconnect = update.reconnect;
    setup.verify_first = update.skip_if_current;
    setup.report = update.report;
    setup.report_path = update.report_path;
    setup.trace_to = role == WorkerRole::Lone ? TraceTo::Platform : TraceTo::Nowhere;
    setup.record_given_port = role != WorkerRole::Lone;
    setup.record_unopened = role != WorkerRole::WatchedUnit;
    setup.watched = role == WorkerRole::WatchedUnit;
    setup.run_id = run_id;
    return setup;
}

Outcome open_trace(WorkerSetup& setup, const std::string& path)
{
    setup.trace_file = setup.host->create_trace_file(path.c_str());
    if (setup.trace_file == nullptr)
        return {OutcomeKind::Fatal, static_cast<unsigned long>(errno),
                printed("cannot write the trace file %s", path.c_str())};
    setup.trace_to = TraceTo::File;
    return {};
}

void close_trace(WorkerSetup& setup)
{
    if (setup.trace_file != nullptr)
        std::fclose(setup.trace_file);
    setup.trace_file = nullptr;
}

Outcome run_worker(Worker& worker)
{
    const WorkerSetup& setup = worker.setup;
    const Host& host = *setup.host;
    prepare_job(worker.job, worker.frame_buffer.data(), reporter_of(worker), PORT_RUN_JOB_OPTIONS);
    const EmbeddedImage image = find_embedded_image(program_instance());
    if (!try_load_firmware_image(image.data, image.length, worker.job, worker.image_failure)) {
        host.leave_stop();
        worker.run = PortRunRecord{};
        const ImageFailure& failure = worker.image_failure;
        worker.outcome = {OutcomeKind::Fatal, failure.error_code, host.fatal_text(failure.text, failure.error_code)};
        return worker.outcome;
    }
    job_trace_flush(worker.job);
    if (worker.view.started != nullptr)
        worker.view.started(worker.view.context);
    PortRunOptions options;
    options.host = &host;
    options.deadline_ms = setup.deadline_ms;
    options.reconnect = setup.reconnect;
    options.context = worker.view.context;
    options.ticked = worker.view.ticked;
    options.note = worker.view.note;
    options.verify_first = setup.verify_first;
    options.watched = setup.watched;
    const std::uint32_t began = host.tick_count();
    worker.outcome = run_port(worker.job, setup.port.c_str(), options, worker.run);
    worker.elapsed_ms = host.tick_count() - began;
    host.leave_stop();
    on_trace_flush(&worker);
    release_firmware_image(worker.job);
    // Ctrl-C: the device did not finish, and has no record.
    const PortFailure& failure = worker.run.open_failure;
    const bool no_unit = worker.run.result == PortRunResult::Error && !setup.record_unopened &&
                         (failure.absent || failure.not_serial());
    if (worker.run.result != PortRunResult::Interrupted && !no_unit)
        record(worker, static_cast<std::int32_t>(image.length));
    return worker.outcome;
}

DeviceRecord record_of_run(const PortRunRecord& run, const Outcome& outcome, std::uint32_t elapsed_ms,
                           std::int32_t image_length)
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
    record.image_sha256 = QDM7_IMAGE_SHA256;
    record.error = outcome.text;
    switch (run.result) {
    case PortRunResult::Completed:
    case PortRunResult::Current: // verified, reset into it; blocks: 0
        record.result = DeviceResult::Completed;
        break;
    case PortRunResult::Failed: record.result = DeviceResult::Failed; break;
    case PortRunResult::Deadline: record.result = DeviceResult::Deadline; break;
    case PortRunResult::Lost: record.result = DeviceResult::Lost; break;
    case PortRunResult::Error:
    case PortRunResult::Echoing:
    case PortRunResult::Interrupted: record.result = DeviceResult::Error; break;
    }
    return record;
}
