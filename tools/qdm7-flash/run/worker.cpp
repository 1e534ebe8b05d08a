#include "tools/qdm7-flash/run/worker.h"

#include <chrono>

#include "build_info.h"
#include "image_text.h"
#include "engine/image.h"
#include "platform/embedded_image.h"
#include "platform/report.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/printed.h"
#include "tools/qdm7-flash/console/stop_watch.h"

namespace {

void on_status(void* context, const char* text)
{
    const Worker& worker = *static_cast<const Worker*>(context);
    if (worker.view.status != nullptr)
        worker.view.status(worker.view.context, text);
}

void on_trace(void* context, const char* text)
{
    const Worker& worker = *static_cast<const Worker*>(context);
    if (worker.setup.trace_file != nullptr)
        std::fputs(text, worker.setup.trace_file);
}

void on_trace_flush(void* context)
{
    const Worker& worker = *static_cast<const Worker*>(context);
    if (worker.setup.trace_file != nullptr)
        std::fflush(worker.setup.trace_file);
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

} // namespace

PortRunResult run_worker(Worker& worker)
{
    const WorkerSetup& setup = worker.setup;
    if (setup.own_thread)
        stop_watch_join(setup.deadline_ms);
    prepare_job(worker.job, worker.frame_buffer.data(), reporter_of(worker), PORT_RUN_JOB_OPTIONS);
    const EmbeddedImage image = find_embedded_image(program_instance());
    if (!try_load_firmware_image(image.data, image.length, worker.job, worker.image_failure)) {
        if (setup.own_thread)
            stop_watch_leave();
        worker.run = PortRunRecord{};
        worker.run.error = worker.image_failure.text;
        return worker.run.result;
    }
    job_trace_flush(worker.job);
    if (worker.view.started != nullptr)
        worker.view.started(worker.view.context);
    PortRunOptions options;
    options.reconnect = setup.reconnect;
    options.context = worker.view.context;
    options.ticked = worker.view.ticked;
    options.note = worker.view.note;
    options.verify_first = setup.verify_first;
    options.watched = setup.watched;
    const std::uint32_t began = tick_count();
    const PortRunResult result = run_port(worker.job, setup.port.c_str(), options, worker.run);
    worker.elapsed_ms = tick_count() - began;
    if (setup.own_thread)
        stop_watch_leave();
    if (setup.trace_file != nullptr)
        std::fflush(setup.trace_file);
    release_firmware_image(worker.job);
    // Ctrl-C: the device did not finish, and has no record.
    const PortFailure& failure = worker.run.open_failure;
    const bool no_unit = result == PortRunResult::Error && !setup.record_unopened &&
                         (failure.absent || failure.not_serial());
    if (result != PortRunResult::Interrupted && !no_unit) {
        worker.record = record_of_run(worker.run, worker.elapsed_ms, static_cast<std::int32_t>(image.length),
                                      setup.deadline_ms);
        if (setup.record_given_port)
            worker.record.port = setup.port;
        worker.record.run_id = setup.run_id;
        worker.recorded = true;
        std::string error;
        if (setup.report != nullptr && !append_record(*setup.report, format_device_record(worker.record), error))
            worker.record_error = error;
    }
    return result;
}

std::string image_failure_text(const ImageFailure& failure)
{
    char text[FATAL_TEXT_SIZE];
    format_platform_fatal_text(text, failure.text, failure.error_code);
    return text;
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
    record.image_sha256 = QDM7_IMAGE_SHA256;
    switch (run.result) {
    case PortRunResult::Completed:
    case PortRunResult::Current: // verified, reset into it; blocks: 0
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
                               : !run.answered ? " before the device answered"
                                                 : "");
        break;
    case PortRunResult::Lost:
        record.result = DeviceResult::Lost;
        record.error = run.error;
        break;
    case PortRunResult::Error:
    case PortRunResult::Echoing:
    case PortRunResult::Interrupted:
        record.result = DeviceResult::Error;
        record.error = run.error;
        break;
    }
    return record;
}
