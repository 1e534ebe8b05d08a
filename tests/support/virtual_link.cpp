#include "tests/support/virtual_link.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "engine/frames.h"
#include "platform/report.h"

namespace {

VirtualLink link_instance;

constexpr std::uint32_t BITS_PER_CHARACTER = 11;
constexpr PortHandle VIRTUAL_PORT = 1;

std::uint32_t char_time_us(const VirtualLink& link)
{
    return link.baud == 0 ? 0 : BITS_PER_CHARACTER * 1000000u / link.baud;
}

std::uint32_t next_noise(VirtualLink& link)
{
    std::uint32_t x = link.noise_state != 0 ? link.noise_state : 1;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    link.noise_state = x;
    return x;
}

// Puts the device's replies on the line after the request has arrived.
void schedule_replies(VirtualLink& link, std::uint32_t request_end)
{
    DeviceReply reply;
    std::uint32_t line_free = link.incoming.empty() ? request_end : link.incoming.back().time;
    while (device_take_reply(link.device, reply)) {
        std::uint64_t t_us = std::uint64_t{request_end + reply.delay_ms} * 1000u;
        if (t_us < std::uint64_t{line_free} * 1000u)
            t_us = std::uint64_t{line_free} * 1000u;
        for (std::size_t i = 0; i < reply.bytes.size(); ++i) {
            if (reply.split_at != 0 && i == reply.split_at)
                t_us += std::uint64_t{reply.split_gap_ms} * 1000u;
            t_us += char_time_us(link);
            link.incoming.push_back({static_cast<std::uint32_t>(t_us / 1000u), reply.bytes[i]});
        }
        line_free = link.incoming.back().time;
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
    return static_cast<std::uint32_t>(std::uint64_t{n} * char_time_us(link_instance) / 1000u);
}

void virtual_link_inject(const std::vector<std::uint8_t>& bytes, std::uint32_t at)
{
    std::uint64_t t_us = std::uint64_t{at} * 1000u;
    for (std::uint8_t b : bytes) {
        t_us += char_time_us(link_instance);
        link_instance.incoming.push_back({static_cast<std::uint32_t>(t_us / 1000u), b});
    }
}

std::int32_t port_write(PortHandle, const std::uint8_t* buffer, std::int32_t length)
{
    VirtualLink& link = link_instance;
    link.written.emplace_back(buffer, buffer + length);
    // The write blocks until the last byte is on the wire.
    link.now += virtual_wire_ms(static_cast<std::size_t>(length));
    // Power is judged at the moment the request is complete; off means lost.
    const bool on = static_cast<std::int32_t>(link.now - link.power_on_at) >= 0;
    if (on != link.device.powered)
        device_set_power(link.device, on);
    if (link.request_noise_percent != 0 && length > 0 && next_noise(link) % 100u < link.request_noise_percent) {
        // Noise on the way out damages one byte; the device sees a bad CRC.
        std::vector<std::uint8_t> damaged(buffer, buffer + length);
        damaged[next_noise(link) % damaged.size()] ^= static_cast<std::uint8_t>(1u + next_noise(link) % 255u);
        ++link.requests_corrupted;
        device_receive(link.device, damaged.data(), damaged.size());
    } else {
        device_receive(link.device, buffer, static_cast<std::size_t>(length));
    }
    schedule_replies(link, link.now);
    return length;
}

std::int32_t port_read(PortHandle, std::uint8_t* buffer, std::int32_t capacity)
{
    VirtualLink& link = link_instance;
    ++link.reads;
    const std::uint32_t start = link.now;
    const std::uint32_t deadline = start + READ_TOTAL_MS;
    std::int32_t count = 0;
    std::uint32_t last = start;
    std::uint32_t end = deadline;
    while (count < capacity) {
        if (link.incoming.empty()) {
            end = count > 0 ? std::min(last + READ_INTERVAL_MS, deadline) : deadline;
            break;
        }
        std::uint32_t t = link.incoming.front().time;
        if (static_cast<std::int32_t>(t - start) < 0)
            t = start; // arrived before the read began: waiting in the queue
        if (count > 0 && t - last > READ_INTERVAL_MS) {
            end = std::min(last + READ_INTERVAL_MS, deadline);
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
    }
    if (static_cast<std::int32_t>(end - link.now) > 0)
        link.now = end;
    if (link.log_reads)
        link.reads_log.emplace_back(buffer, buffer + count);
    return count;
}

void port_purge(PortHandle)
{
    VirtualLink& link = link_instance;
    ++link.purges;
    // Only what has already arrived is in the receive queue.
    while (!link.incoming.empty() && static_cast<std::int32_t>(link.incoming.front().time - link.now) <= 0)
        link.incoming.pop_front();
}

void port_flush(PortHandle) { ++link_instance.flushes; }

std::uint32_t tick_count() { return link_instance.now; }

void sleep_ms(std::uint32_t milliseconds) { link_instance.now += milliseconds; }

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
void set_failure_cause(FailureCause) {}

// Nothing on the virtual platform is expected to be fatal: say what happened
// and end the test program, as the real platforms end theirs.
void fatal_error(const char* message)
{
    char text[FATAL_TEXT_SIZE];
    format_fatal_text(text, message, 0, "");
    std::fputs(text, stderr);
    std::exit(FATAL_EXIT_CODE);
}

void prepare_job(TestJob& test_job, const std::vector<std::uint8_t>& image)
{
    test_job.frame_buffer.assign(FRAME_BUFFER_SIZE, 0);
    test_job.image = image;
    UpdateJob& job = test_job.job;
    prepare_job(job, test_job.frame_buffer.data());
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

std::vector<std::uint8_t> make_test_image(std::size_t length, std::uint32_t seed)
{
    std::vector<std::uint8_t> image(length);
    std::uint32_t x = seed != 0 ? seed : 1;
    for (auto& b : image) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return image;
}
