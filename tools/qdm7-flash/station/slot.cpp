#include "tools/qdm7-flash/station/slot.h"

#include "tools/qdm7-flash/console/printed.h"

namespace {

// The view of the job as it is now, handed to the display.
void show_job(Slot& slot)
{
    const UpdateJob& job = slot.worker.job;
    PortView& view = slot.view;
    const std::uint32_t now = slot.worker.setup.host->tick_count();
    watch_job(slot.watch, job, now);
    view.phase = phase_of(job);
    view.blocks_done = blocks_done(job);
    view.blocks_total = blocks_total(job);
    view.blocks_from = job_results(job).resumed_at;
    view.programming_ms = programming_ms(slot.watch, now);
    view.waiting_since = slot.watch.contact_began;
    const JobResults results = job_results(job);
    view.timeouts = slot.worker.run.timeouts > results.timeouts ? slot.worker.run.timeouts : results.timeouts;
    view.stray_bytes = results.stray_bytes;
    ports_display_update(*slot.display, slot.index, view);
}

void slot_status(void* context, const char*) { show_job(*static_cast<Slot*>(context)); }

// After every tick: the view, and off a terminal a line for each resend
// (on a terminal the line counts them).
void slot_ticked(void* context)
{
    Slot& slot = *static_cast<Slot*>(context);
    show_job(slot);
    while (next_resend(slot.watch, slot.worker.job)) {
        if (!slot.display->terminal)
            ports_display_say(*slot.display, slot.index,
                              resend_text(slot.worker.job, slot.watch.resends_seen).c_str());
    }
}

void slot_note(void* context, PortRunNote note, const char* text)
{
    Slot& slot = *static_cast<Slot*>(context);
    ports_display_say(*slot.display, slot.index, text);
    if (note == PortRunNote::Lost) {
        slot.view.phase = PortPhase::Reconnecting;
        slot.view.waiting_since = slot.worker.setup.host->tick_count();
        if (slot.watched)
            slot.view.next_step = slot.view.next_step_brief = "plug it back in";
        ports_display_update(*slot.display, slot.index, slot.view);
    } else if (note == PortRunNote::Restarting || note == PortRunNote::Checked) {
        restart_watch(slot.watch);
        slot.view.next_step.clear();
        slot.view.next_step_brief.clear();
    }
}

} // namespace

WorkerView slot_view(Slot& slot) { return WorkerView{&slot, slot_status, nullptr, slot_ticked, slot_note}; }

PortView ended_view(const Slot& slot)
{
    const Worker& worker = slot.worker;
    PortView view = slot.view;
    view.phase = PortPhase::Done;
    view.result = worker.record.result;
    view.elapsed_ms = worker.elapsed_ms;
    view.next_step.clear();
    view.next_step_brief.clear();
    if (worker.record.result == DeviceResult::Completed) {
        view.detail.clear();
        if (worker.run.result == PortRunResult::Current)
            view.detail = worker.run.verified.reset_acknowledged
                              ? "nothing written (the device already held this image; reset into it)"
                              : "nothing written (the device already held this image; its reset was not acknowledged)";
        return view;
    }
    view.detail = worker.record.error;
    if (!slot.watched)
        return view;
    if (worker.run.open_failure.busy) {
        view.next_step = "close that program, then unplug the unit and plug it back in";
        view.next_step_brief = "close it, replug";
    } else {
        view.next_step = "to try again, unplug it and plug it back in";
        view.next_step_brief = "replug to retry";
    }
    return view;
}

namespace {

void update_slot(void* context)
{
    Slot& slot = *static_cast<Slot*>(context);
    Worker& worker = slot.worker;
    run_worker(worker);
    if (worker.recorded) {
        // A watch's bookkeeping says it, and what follows from it.
        if (!worker.record_error.empty() && !slot.watched)
            ports_display_say(*slot.display, slot.index,
                              printed("its record could not be written to %s: %s", worker.setup.report_path.c_str(),
                                      worker.record_error.c_str())
                                  .c_str());
        slot.view = ended_view(slot);
        ports_display_update(*slot.display, slot.index, slot.view);
    }
    slot.finished = true;
}

} // namespace

void start_slot(Slot& slot)
{
    const WorkerSetup& setup = slot.worker.setup;
    slot.thread = setup.host->start_thread(update_slot, &slot, setup.deadline_ms);
}

void end_slot(Slot& slot)
{
    if (slot.thread != 0)
        slot.worker.setup.host->join_thread(slot.thread);
    slot.thread = 0;
    close_trace(slot.worker.setup);
}
