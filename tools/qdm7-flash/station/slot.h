// One port's worker on a thread of its own, and its line in a line-per-port
// display: what several ports at once and a watching station share.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "tools/qdm7-flash/run/worker.h"
#include "tools/qdm7-flash/view/job_view.h"
#include "tools/qdm7-flash/view/ports_display.h"

// One port of several: its worker, and what its line shows.
struct Slot {
    std::size_t index = 0;
    PortsDisplay* display = nullptr;
    Worker worker;
    PortView view;
    JobWatch watch;
    std::atomic<bool> finished{false};
    HostThread thread = 0;
    // A watching station's unit: its line says what the operator does next.
    bool watched = false;
};

// What the slot's worker tells its line.
WorkerView slot_view(Slot& slot);

// The line of a slot whose worker has ended with a record, from its view
// while it ran: the result and its seconds, why it did not complete (or
// that a completion wrote nothing), and for a watch's unit what the
// operator does next. A watch tries a unit again only once its port has
// gone and come back.
PortView ended_view(const Slot& slot);

// Starts the slot's worker on a thread of its own (its host's), with the
// update's deadline; once it has run, the line shows its end and finished
// is set.
void start_slot(Slot& slot);
// Waits for the slot's thread to end, and closes its trace.
void end_slot(Slot& slot);
