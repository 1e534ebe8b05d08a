// A production station (qdm7-flash --watch): the watched ports looked at
// every WATCH_POLL_MS on the main thread, and every unit that comes on one
// updated at once by a worker on a thread of its own, the same slot as
// several ports at once have (slot.h): contact, resends, verification,
// reset, reconnect and the deadline are each unit's own. A port whose unit
// ended is not updated again until it has gone and come back: a unit
// swapped for the next. A port lost in the middle of its update is the
// port run's to wait for, as ever. What to start and what to say is the
// bookkeeping's (watch_book.h); here, its threads, ports and screen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/port_identity.h"
#include "tools/qdm7-flash/console/outcome.h"
#include "tools/qdm7-flash/run/worker.h"

inline constexpr std::uint32_t WATCH_POLL_MS = 200;

struct WatchSetup {
    UpdateSetup update;            // log_dir: a trace file per unit
    // The watched ports there are now, each with its identity; asked at
    // every look.
    std::vector<PortIdentity> (*ports)(void* context) = nullptr;
    void* context = nullptr;
    std::string watched;           // what is watched, as the head line names it
    std::uint32_t count = 0;       // end after this many units; 0: at Ctrl-C only
};

// Watches until Ctrl-C (Interrupted, once every port is closed) or, with a
// count, until that many units have ended: Completed when every one
// completed and is on record, NotAllUpdated otherwise. A unit whose trace
// cannot be written is not updated, and a unit whose record could not be
// written is said with its result; no unit is taken after either: the
// watch ends once those being updated have ended (Fatal). A trace folder
// that fills is said once and no trace is written after it; the updates
// and their records go on. The outcome's text is the closing lines
// (closing.h).
Outcome run_watch(const WatchSetup& setup);

// The run's id in each record: its start in UTC and a number that tells
// runs begun in the same second apart ("20261209T054712Z-3f9a").
std::string watch_run_id(std::int64_t utc_ms, unsigned number);
