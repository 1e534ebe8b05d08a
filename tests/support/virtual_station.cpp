#include "tests/support/virtual_station.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

#include "platform/report.h"
#include "tests/support/virtual_time.h"

namespace {

enum class PathKind { Port, File, NoSerialPort };

struct BenchPort {
    PathKind kind = PathKind::Port;
    VirtualUnit* unit = nullptr; // plugged in; null: nothing there
    std::string holder;          // another program has it; empty: none
    PortHandle open = INVALID_PORT_HANDLE;
};

struct Event {
    std::uint32_t at;
    std::function<void()> run;
};

// A port as its opener has it: lost once its unit is pulled out, even
// should the unit come back (a new device node, then).
struct Opened {
    std::string path;
    bool lost = false;
};

struct Bench {
    std::deque<std::unique_ptr<VirtualUnit>> units;
    std::map<std::string, BenchPort> ports; // by path, in order
    std::map<PortHandle, Opened> opened;
    VirtualLink dead;                       // where a lost port's operations go
    PortHandle next_handle = 1000;
    bool interrupted = false;
    std::vector<Event> events;
    std::string full_folder; // its files on a full disk; empty: none
};

Bench bench;

// The calling thread's stop: its deadline on the virtual clock.
struct Watched {
    bool on = false;
    std::uint32_t deadline_at = 0;
};
thread_local Watched watched;

void watch_from_now(std::uint32_t deadline_ms)
{
    watched.on = deadline_ms != 0;
    watched.deadline_at = virtual_now() + deadline_ms;
}

PortIdentity identity_at(const std::string& path)
{
    PortIdentity identity;
    identity.path = path;
    const auto found = bench.ports.find(path);
    if (found == bench.ports.end() || found->second.unit == nullptr)
        return identity;
    const VirtualUnit& unit = *found->second.unit;
    identity.kind = unit.serial.empty() ? PortKind::PseudoTerminal : PortKind::Usb;
    if (!unit.serial.empty()) {
        identity.usb_vid = 0x0403;
        identity.usb_pid = 0x6001;
        identity.serial = unit.serial;
    }
    return identity;
}

bool present(const BenchPort& port) { return port.kind != PathKind::Port || port.unit != nullptr; }

void fail(PortFailure& failure, bool absent, bool busy, int code, const char* text)
{
    failure.kind = PortFailureKind::System;
    failure.absent = absent;
    failure.busy = busy;
    failure.code = static_cast<unsigned long>(code);
    std::snprintf(failure.text, sizeof failure.text, "%s", text);
}

// --- The host ---------------------------------------------------------------------------------

HostThread start_thread(void (*body)(void* context), void* context, std::uint32_t deadline_ms)
{
    return virtual_spawn([=] {
        watch_from_now(deadline_ms);
        body(context);
    });
}

PortHandle open_bench_port(const char* path, PortFailure& failure)
{
    failure = PortFailure{};
    const auto found = bench.ports.find(path);
    if (found == bench.ports.end() || !present(found->second)) {
        fail(failure, true, false, ENOENT, "No such file or directory");
        return INVALID_PORT_HANDLE;
    }
    BenchPort& port = found->second;
    if (port.kind != PathKind::Port) {
        failure.kind = PortFailureKind::NotSupported;
        std::snprintf(failure.text, sizeof failure.text, "not a serial port");
        return INVALID_PORT_HANDLE;
    }
    if (!port.holder.empty() || port.open != INVALID_PORT_HANDLE) {
        fail(failure, false, true, EBUSY, "Device or resource busy");
        return INVALID_PORT_HANDLE;
    }
    VirtualLink& link = port.unit->link;
    link.incoming.clear();
    link.reply_complete = nullptr;
    port.open = bench.next_handle++;
    bench.opened[port.open] = Opened{path, false};
    virtual_link_route(port.open, &link);
    return port.open;
}

std::string unopenable_text(const char* path, const PortFailure& failure)
{
    const auto found = bench.ports.find(path);
    if (failure.busy && found != bench.ports.end())
        return std::string(path) + " is in use by " +
               (found->second.holder.empty() ? std::string("another program") : found->second.holder);
    return failure.text;
}

StopReason stop_requested()
{
    if (bench.interrupted)
        return StopReason::Interrupted;
    const bool passed = watched.on && static_cast<std::int32_t>(virtual_now() - watched.deadline_at) >= 0;
    return passed ? StopReason::Deadline : StopReason::None;
}

std::string fatal_text(const char* message, unsigned long number)
{
    char text[FATAL_TEXT_SIZE];
    format_fatal_text(text, message, number, number != 0 ? std::strerror(static_cast<int>(number)) : "");
    return text;
}

const Host BENCH_HOST{
    tick_count,
    sleep_ms,
    start_thread,
    [](HostThread thread) { virtual_join(thread); },
    bench_ports,
    [](const char* path) { return identity_at(path); },
    [](const char* path) {
        const auto found = bench.ports.find(path);
        return found != bench.ports.end() && found->second.kind == PathKind::File;
    },
    open_bench_port,
    unopenable_text,
    watch_from_now,
    [](PortHandle) {},
    stop_requested,
    [] { watched.on = false; },
    [](const char* path) {
        const std::string made = path;
        const bool full = !bench.full_folder.empty() && made.starts_with(bench.full_folder);
        return std::fopen(full ? "/dev/full" : path, "w");
    },
    fatal_text,
};

} // namespace

// --- The link operations of an open bench port --------------------------------------------------

bool configure_port(PortHandle, std::uint32_t, std::uint32_t, PortFailure&) { return true; }

void close_port(PortHandle& handle)
{
    const auto found = bench.opened.find(handle);
    if (found != bench.opened.end()) {
        if (!found->second.lost)
            bench.ports[found->second.path].open = INVALID_PORT_HANDLE;
        bench.opened.erase(found);
        virtual_link_route(handle, nullptr);
    }
    handle = INVALID_PORT_HANDLE;
}

bool port_lost(PortHandle handle)
{
    const auto found = bench.opened.find(handle);
    return found != bench.opened.end() && found->second.lost;
}

void port_abandon(PortHandle) {}

// --- The bench ---------------------------------------------------------------------------------

void bench_reset()
{
    bench = Bench{};
    bench.dead.gone = true;
}

VirtualUnit& bench_unit(const std::string& serial, std::uint32_t baud)
{
    auto unit = std::make_unique<VirtualUnit>();
    device_init(unit->link.device);
    unit->link.baud = baud;
    unit->serial = serial;
    bench.units.push_back(std::move(unit));
    return *bench.units.back();
}

void bench_plug(const std::string& path, VirtualUnit& unit)
{
    BenchPort& port = bench.ports[path];
    port.kind = PathKind::Port;
    port.unit = &unit;
    VirtualLink& link = unit.link;
    device_set_power(link.device, false);
    link.now = virtual_now();
    // Powered as the first request after the delay arrives.
    link.power_on_at = link.now + std::min<std::uint32_t>(unit.power_on_after, 0x7FFFFFFF);
}

void bench_pull(const std::string& path)
{
    BenchPort& port = bench.ports[path];
    if (port.unit == nullptr)
        return;
    if (port.open != INVALID_PORT_HANDLE) {
        bench.opened[port.open].lost = true;
        virtual_link_route(port.open, &bench.dead);
        port.open = INVALID_PORT_HANDLE;
    }
    VirtualLink& link = port.unit->link;
    link.incoming.clear();
    device_set_power(link.device, false);
    port.unit = nullptr;
}

void bench_file(const std::string& path) { bench.ports[path].kind = PathKind::File; }

void bench_no_serial_port(const std::string& path) { bench.ports[path].kind = PathKind::NoSerialPort; }

void bench_hold(const std::string& path, const std::string& holder) { bench.ports[path].holder = holder; }

void bench_interrupt() { bench.interrupted = true; }

void bench_full_folder(const std::string& folder) { bench.full_folder = folder; }

std::vector<PortIdentity> bench_ports()
{
    std::vector<PortIdentity> ports;
    for (const auto& [path, port] : bench.ports) {
        if (present(port))
            ports.push_back(identity_at(path));
    }
    return ports;
}

void bench_at(std::uint32_t at_ms, std::function<void()> event)
{
    bench.events.push_back(Event{at_ms, std::move(event)});
}

const Host& bench_host() { return BENCH_HOST; }

BenchRun bench_run(const std::function<Outcome()>& body)
{
    std::vector<Event> events = std::move(bench.events);
    bench.events.clear();
    std::stable_sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
    testing::internal::CaptureStderr();
    virtual_time_begin(0);
    const VirtualThread script = virtual_spawn([&events] {
        for (const Event& event : events) {
            virtual_wait_until(event.at);
            event.run();
        }
    });
    BenchRun run;
    run.outcome = body();
    run.took_ms = virtual_now();
    virtual_join(script);
    virtual_time_end();
    run.err = testing::internal::GetCapturedStderr();
    return run;
}

std::size_t bench_open_ports() { return bench.opened.size(); }
