// The real machine: the platform's clock, ports and fatal text, threads of
// the standard library (a unit's large blocks returned when freed,
// unit_memory.h), and the stop watch (console/stop_watch.h).
#include "tools/qdm7-flash/run/host.h"

#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/port_diagnosis.h"
#include "platform/report.h"
#include "tools/qdm7-flash/run/unit_memory.h"

namespace {

// A worker's thread and what it runs.
struct Started {
    void (*body)(void* context);
    void* context;
    std::uint32_t deadline_ms;
    std::thread thread;
};

void run_started(Started* started)
{
    stop_watch_join(started->deadline_ms);
    started->body(started->context);
    stop_watch_leave(); // if the body has not left already
}

HostThread start_thread(void (*body)(void* context), void* context, std::uint32_t deadline_ms)
{
    static const bool set = (return_large_blocks_when_freed(), true);
    (void)set;
    auto* started = new Started{body, context, deadline_ms, {}};
    started->thread = std::thread(run_started, started);
    return reinterpret_cast<HostThread>(started);
}

void join_thread(HostThread thread)
{
    auto* started = reinterpret_cast<Started*>(thread);
    started->thread.join();
    delete started;
}

std::vector<PortIdentity> every_port() { return find_ports(false); }

bool plainly_no_port(const char* path)
{
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    return !error && (std::filesystem::is_regular_file(status) || std::filesystem::is_directory(status));
}

PortHandle open_serial_port(const char* path, PortFailure& failure) { return open_port(path, failure); }

std::string unopenable_text(const char* path, const PortFailure& failure)
{
    if (failure.busy)
        return std::string(path) + " is " + holders_text(port_holders(path));
    if (failure.denied) {
        const PortAccess access = port_access(path);
        if (!access.allowed)
            return std::string("no permission to open ") + path + ": " + access.text;
    }
    return failure.text;
}

std::string fatal_text(const char* message, unsigned long number)
{
    char text[FATAL_TEXT_SIZE];
    format_platform_fatal_text(text, message, number);
    return text;
}

const Host OS_HOST{
    tick_count,
    sleep_ms,
    start_thread,
    join_thread,
    every_port,
    port_identity,
    plainly_no_port,
    open_serial_port,
    unopenable_text,
    stop_watch_start,
    stop_watch_port,
    stop_requested,
    stop_watch_leave,
    [](const char* path) { return std::fopen(path, "w"); },
    fatal_text,
};

} // namespace

const Host& os_host() { return OS_HOST; }
