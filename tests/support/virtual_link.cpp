#include "tests/support/virtual_link.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "device/wire_pacing.h"
#include "engine/frames.h"
#include "platform/report.h"
#include "platform/serial_port.h"
#include "tests/support/virtual_time.h"

namespace {

VirtualLink link_instance;

constexpr PortHandle VIRTUAL_PORT = 1;

std::mutex routes_lock;
std::map<PortHandle, VirtualLink*> routes;

VirtualLink& link_of(PortHandle handle)
{
    const std::lock_guard<std::mutex> hold(routes_lock);
    const auto found = routes.find(handle);
    return found != routes.end() ? *found->second : link_instance;
}

// On the shared clock an operation starts now, and the caller waits for the
// time it took.
void begin(VirtualLink& link)
{
    if (virtual_time_on())
        link.now = virtual_now();
}

void finish(const VirtualLink& link)
{
    if (virtual_time_on())
        virtual_wait_until(link.now);
}

// The wire's pace, a byte at a time so that each byte has its own arrival.
// A character takes whole microseconds (11 at 921600 baud): the tests'
// timings were set with that.
WirePace pace_of(const VirtualLink& link)
{
    WirePace pace = wire_pace(link.baud);
    pace.char_us = std::floor(pace.char_us);
    pace.piece = 1;
    return pace;
}

// A tick of the link's 32-bit clock in microseconds, counted from now so
// that the clock may wrap.
std::int64_t us_of(const VirtualLink& link, std::uint32_t tick)
{
    return (std::int64_t{link.now} + static_cast<std::int32_t>(tick - link.now)) * 1000;
}

std::uint32_t tick_at(std::int64_t us) { return static_cast<std::uint32_t>(us / 1000); }

// Puts a reply's bytes on the line to the host, each at its arrival, once
// the line is free.
void put_on_line(VirtualLink& link, OutboundReply reply, std::uint32_t line_free)
{
    OutboundWire wire{.pace = pace_of(link)};
    wire.free_us = us_of(link, line_free);
    wire.replies.push_back(std::move(reply));
    WirePiece piece;
    while (outbound_next(wire, piece)) {
        for (std::size_t i = 0; i < piece.size; ++i)
            link.incoming.push_back({tick_at(piece.due_us), piece.data[i]});
        outbound_sent(wire, piece, piece.size, piece.due_us);
    }
}

// Puts the device's replies on the line after the request has arrived.
void schedule_replies(VirtualLink& link, std::uint32_t request_end)
{
    DeviceReply reply;
    while (device_take_reply(link.device, reply)) {
        const std::uint32_t line_free = link.incoming.empty() ? request_end : link.incoming.back().time;
        put_on_line(link, reply_on_wire(std::move(reply), us_of(link, request_end)), line_free);
    }
}

} // namespace

VirtualLink& virtual_link() { return link_instance; }

void virtual_link_reset(std::uint32_t start_tick)
{
    link_instance = VirtualLink{};
    device_init(link_instance.device);
    link_instance.now = start_tick;
    link_instance.power_on_at = start_tick;
}

bool virtual_link_power_cut(std::uint32_t off_ms)
{
    VirtualLink& link = link_instance;
    bool busy = false;
    // Bytes already on the wire have reached the host; the rest never leave.
    while (!link.incoming.empty() && static_cast<std::int32_t>(link.incoming.back().time - link.now) > 0) {
        link.incoming.pop_back();
        busy = true;
    }
    busy = busy || !link.device.outbox.empty();
    device_set_power(link.device, false);
    link.power_on_at = link.now + off_ms;
    return busy;
}

std::uint32_t virtual_wire_ms(std::size_t n)
{
    return static_cast<std::uint32_t>(wire_us(pace_of(link_instance), n) / 1000);
}

namespace {

std::uint32_t wire_ms(const VirtualLink& link, std::size_t n)
{
    return static_cast<std::uint32_t>(wire_us(pace_of(link), n) / 1000);
}

} // namespace

void virtual_link_route(PortHandle handle, VirtualLink* link)
{
    const std::lock_guard<std::mutex> hold(routes_lock);
    if (link != nullptr)
        routes[handle] = link;
    else
        routes.erase(handle);
}

void virtual_link_inject(const std::vector<std::uint8_t>& bytes, std::uint32_t at)
{
    OutboundReply reply;
    reply.bytes = bytes;
    reply.ready_us = us_of(link_instance, at);
    put_on_line(link_instance, std::move(reply), at);
}

std::int32_t port_write(PortHandle handle, const std::uint8_t* buffer, std::int32_t length)
{
    VirtualLink& link = link_of(handle);
    if (link.gone)
        return 0;
    begin(link);
    link.written.emplace_back(buffer, buffer + length);
    if (link.echo) {
        OutboundReply echoed;
        echoed.bytes.assign(buffer, buffer + length);
        echoed.ready_us = us_of(link, link.now);
        const bool busy = !link.incoming.empty() && static_cast<std::int32_t>(link.incoming.back().time - link.now) > 0;
        put_on_line(link, std::move(echoed), busy ? link.incoming.back().time : link.now);
        finish(link);
        return length;
    }
    // The write blocks until the last byte is on the wire.
    link.now += wire_ms(link, static_cast<std::size_t>(length));
    // Power is judged at the moment the request is complete; off means lost.
    const bool on = static_cast<std::int32_t>(link.now - link.power_on_at) >= 0;
    if (on != link.device.powered)
        device_set_power(link.device, on);
    if (link.request_noise_percent != 0 && length > 0 && link.noise.below(100) < link.request_noise_percent) {
        // Noise on the way out damages one byte; the device sees a bad CRC.
        std::vector<std::uint8_t> damaged(buffer, buffer + length);
        damaged[link.noise.next() % damaged.size()] ^= static_cast<std::uint8_t>(1u + link.noise.below(255));
        ++link.requests_corrupted;
        device_receive(link.device, damaged.data(), damaged.size());
    } else {
        device_receive(link.device, buffer, static_cast<std::size_t>(length));
    }
    schedule_replies(link, link.now);
    finish(link);
    return length;
}

std::int32_t port_read(PortHandle handle, std::uint8_t* buffer, std::int32_t capacity)
{
    VirtualLink& link = link_of(handle);
    if (link.gone)
        return 0;
    begin(link);
    ++link.reads;
    const std::uint32_t start = link.now;
    const std::uint32_t deadline = start + READ_TOTAL_MS;
    std::int32_t count = 0;
    std::uint32_t last = start;
    std::uint32_t end = deadline;
    // The quiet that ends the read now: the interval, or once the bytes so
    // far pass the reply rule's test, the rule's shorter quiet.
    std::uint32_t quiet = READ_INTERVAL_MS;
    while (count < capacity) {
        if (link.incoming.empty()) {
            end = count > 0 ? std::min(last + quiet, deadline) : deadline;
            break;
        }
        std::uint32_t t = link.incoming.front().time;
        if (static_cast<std::int32_t>(t - start) < 0)
            t = start; // arrived before the read began: waiting in the queue
        if (count > 0 && t - last > quiet) {
            end = std::min(last + quiet, deadline);
            break;
        }
        if (static_cast<std::int32_t>(t - deadline) > 0) {
            end = deadline;
            break;
        }
        buffer[count++] = link.incoming.front().value;
        link.incoming.pop_front();
        last = t;
        end = t;
        const bool whole = link.reply_complete != nullptr && link.reply_complete(buffer, count);
        quiet = whole ? link.reply_quiet_ms : READ_INTERVAL_MS;
    }
    if (static_cast<std::int32_t>(end - link.now) > 0)
        link.now = end;
    if (link.log_reads)
        link.reads_log.emplace_back(buffer, buffer + count);
    finish(link);
    return count;
}

void set_reply_rule(PortHandle handle, ReplyComplete complete, std::uint32_t quiet_ms)
{
    VirtualLink& link = link_of(handle);
    link.reply_complete = complete;
    link.reply_quiet_ms = quiet_ms;
}

void port_purge(PortHandle handle)
{
    VirtualLink& link = link_of(handle);
    begin(link);
    ++link.purges;
    // Only what has already arrived is in the receive queue.
    while (!link.incoming.empty() && static_cast<std::int32_t>(link.incoming.front().time - link.now) <= 0)
        link.incoming.pop_front();
}

void port_flush(PortHandle handle) { ++link_of(handle).flushes; }

std::uint32_t tick_count() { return virtual_time_on() ? virtual_now() : link_instance.now; }

void sleep_ms(std::uint32_t milliseconds)
{
    if (virtual_time_on())
        virtual_wait_until(virtual_now() + milliseconds);
    else
        link_instance.now += milliseconds;
}

void set_status(const char* format, ...)
{
    char text[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    link_instance.statuses.emplace_back(text);
}

void trace(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    link_instance.trace_text += text;
}

void trace_flush() {}

// The virtual platform has no error codes; its fatal text names none.
unsigned long failure_cause_code(FailureCause) { return 0; }

// Nothing on the virtual platform is expected to be fatal: say what happened
// and end the test program, as the real platforms end theirs.
void fatal_error_with_code(const char* message, unsigned long)
{
    char text[FATAL_TEXT_SIZE];
    format_fatal_text(text, message, 0, "");
    std::fputs(text, stderr);
    std::exit(FATAL_EXIT_CODE);
}

void prepare_job(TestJob& test_job, const std::vector<std::uint8_t>& image, const JobOptions& options)
{
    test_job.frame_buffer.assign(FRAME_BUFFER_SIZE, 0);
    test_job.image = image;
    UpdateJob& job = test_job.job;
    prepare_job(job, test_job.frame_buffer.data(), {}, options);
    job.image = test_job.image.data();
    job.image_size = static_cast<std::int32_t>(test_job.image.size());
    job.base_address = FLASH_BASE;
}

void start_job(UpdateJob& job) { start_job(job, "virtual", VIRTUAL_PORT); }

std::uint32_t run_job(UpdateJob& job, std::uint32_t max_ticks)
{
    std::uint32_t ticks = 0;
    while (ticks < max_ticks && job.state != JobState::Completed && job.state != JobState::Failed) {
        job_tick(job);
        link_instance.now += JOB_TICK_MS;
        ++ticks;
    }
    return ticks;
}
