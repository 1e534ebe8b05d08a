#include "tools/qdm7-sim/sim_loop.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <vector>

#include "engine/frames.h"
#include "platform/posix/terminal.h"

namespace {

constexpr std::int64_t US_PER_MS = 1000;
// A paced line that pauses longer than about one piece is worth a log line.
constexpr std::int64_t BUSY_AGAIN_US = 2000;
// After the reset acknowledgement, how long to wait for the updater to read
// it: at least the first (written bytes reach the terminal's input queue a
// moment later, and closing the master discards what is unread), at most the
// second.
constexpr std::int64_t DRAIN_MIN_US = 100 * US_PER_MS;
constexpr std::int64_t DRAIN_MAX_US = 2000 * US_PER_MS;

const char* request_name(std::uint8_t sub_command)
{
    switch (sub_command) {
    case SUB_PROGRAM: return "program";
    case SUB_QUERY_CRC: return "query";
    case SUB_RESET: return "reset";
    default: return "unknown";
    }
}

void log_request(void* context, const DeviceRequest& request)
{
    const Sim& sim = *static_cast<const Sim*>(context);
    if (request.sub_command == SUB_RESET)
        sim_log(sim, "request: reset%s", request.crc_ok ? "" : ", bad CRC: dropped");
    else
        sim_log(sim, "request: %s address %#x length %#x%s", request_name(request.sub_command),
                static_cast<unsigned>(request.address), static_cast<unsigned>(request.length),
                request.crc_ok ? "" : ", bad CRC: dropped");
}

bool paced(const Sim& sim) { return sim.in.pace.char_us > 0; }

void take_replies(Sim& sim, std::int64_t request_end_us)
{
    DeviceReply reply;
    while (device_take_reply(sim.device, reply)) {
        sim_log(sim, "reply of %zu bytes (sub-command %#x) due in %u ms%s", reply.bytes.size(),
                reply.bytes.size() > 2 ? reply.bytes[2] : 0u, reply.delay_ms,
                reply.split_at != 0 ? ", split" : "");
        sim.out.replies.push_back(reply_on_wire(std::move(reply), request_end_us));
    }
}

// Takes what the terminal holds, up to the lookahead. Returns false on a
// fatal read error.
bool take_in(Sim& sim, std::int64_t now)
{
    const std::size_t room = inbound_room(sim.in);
    if (room == 0)
        return true;
    std::vector<std::uint8_t> bytes(room);
    const ssize_t got = read(sim.port.fd, bytes.data(), bytes.size());
    if (got < 0)
        return errno == EAGAIN || errno == EINTR;
    if (got == 0)
        return true;
    bytes.resize(static_cast<std::size_t>(got));
    sim.rx_bytes += bytes.size();
    if (sim.options.power_on_delayed && sim.power_on_us < 0) {
        sim.power_on_us = now + static_cast<std::int64_t>(sim.options.power_on_after_ms) * US_PER_MS;
        sim_log(sim, "first byte; power on in %u ms", sim.options.power_on_after_ms);
    }
    inbound_take(sim.in, std::move(bytes), now);
    return true;
}

// Hands the device every piece that the wire has delivered by now.
void deliver(Sim& sim, std::int64_t now)
{
    WirePiece piece;
    while (inbound_next(sim.in, now, piece)) {
        if (paced(sim) && sim.last_rx_us >= 0 && piece.start_us - sim.last_rx_us > BUSY_AGAIN_US)
            sim_log(sim, "line busy again after %.1f ms",
                    static_cast<double>(piece.start_us - sim.last_rx_us) / 1e3);
        sim.last_rx_us = piece.due_us;
        sim.idle_reported = false;
        if (sim.options.echo) {
            DeviceReply echoed;
            echoed.bytes.assign(piece.data, piece.data + piece.size);
            sim.out.replies.push_back(reply_on_wire(std::move(echoed), piece.due_us));
        } else {
            device_receive(sim.device, piece.data, piece.size);
            take_replies(sim, piece.due_us);
        }
        inbound_done(sim.in, piece);
    }
}

// Writes the next piece of the first reply if its time has come. Returns
// false on a fatal write error.
bool transmit(Sim& sim, std::int64_t now)
{
    WirePiece piece;
    if (!outbound_next(sim.out, piece) || now < piece.due_us)
        return true;
    const ssize_t written = write(sim.port.fd, piece.data, piece.size);
    if (written < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            sim.write_blocked = true;
            return true;
        }
        return false;
    }
    sim.write_blocked = false;
    sim.tx_bytes += static_cast<std::size_t>(written);
    OutboundReply finished;
    if (!outbound_sent(sim.out, piece, static_cast<std::size_t>(written), now, &finished))
        return true;
    ++sim.replies_sent;
    sim_log(sim, "reply of %zu bytes written", finished.bytes.size());
    const auto size = static_cast<std::int32_t>(finished.bytes.size());
    const bool reset_ack =
        size >= 3 && finished.bytes[2] == SUB_RESET && reply_is_valid(finished.bytes.data(), size);
    if (reset_ack && sim.options.exit_after_reset && sim.drain_from_us < 0) {
        sim_log(sim, "reset acknowledged; ending once it is read");
        sim.drain_from_us = now;
    }
    return true;
}

// True once the updater has read everything we wrote (or we gave up waiting).
bool drained(const Sim& sim, std::int64_t now)
{
    if (now - sim.drain_from_us < DRAIN_MIN_US)
        return false;
    return now - sim.drain_from_us >= DRAIN_MAX_US || sim_port_unread(sim.port) == 0;
}

// The next moment something is due, or -1 for none.
std::int64_t next_deadline(const Sim& sim, std::int64_t now)
{
    std::int64_t next = -1;
    auto consider = [&](std::int64_t at) {
        if (at >= 0 && (next < 0 || at < next))
            next = at;
    };
    consider(inbound_due(sim.in));
    if (!sim.idle_reported)
        consider(sim.last_rx_us + SIM_LINE_IDLE_MS * US_PER_MS + 1);
    if (sim.power_on_us >= 0 && !sim.device.powered)
        consider(sim.power_on_us);
    WirePiece piece;
    if (!sim.write_blocked && outbound_next(sim.out, piece))
        consider(piece.due_us);
    if (sim.drain_from_us >= 0)
        consider(now + 10 * US_PER_MS);
    return next;
}

} // namespace

std::int64_t sim_now_us() { return monotonic_ns() / 1000; }

void sim_log(const Sim& sim, const char* format, ...)
{
    if (!sim.options.verbose)
        return;
    std::fprintf(stderr, "qdm7-sim %9.3f ", static_cast<double>(sim_now_us() - sim.start_us) / 1e6);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

void sim_set_up_device(Sim& sim)
{
    device_init(sim.device);
    device_seed(sim.device, sim.options.seed);
    if (sim.options.verbose) {
        sim.device.observer = log_request;
        sim.device.observer_context = &sim;
    }
    sim.device.program_time_ms = sim.options.program_ms;
    sim.device.erase_sector_size = sim.options.erase_sector_size;
    for (const FaultRule& rule : sim.options.faults)
        device_add_fault(sim.device, rule);
    if (sim.options.power_on_delayed)
        device_set_power(sim.device, false);
    sim.device.queries_until_on = sim.options.power_on_after_queries;
    sim.device.power_off_in_block = sim.options.power_off_in_block;
    // A serial device is paced by its own hardware.
    const WirePace pace = wire_pace(sim.options.device_path.empty() ? sim.options.baud : 0);
    sim.in.pace = pace;
    sim.out.pace = pace;
}

int sim_serve(Sim& sim, const sigset_t& run_mask, const volatile std::sig_atomic_t& stop_signal)
{
    for (;;) {
        if (stop_signal != 0) {
            sim_log(sim, "signal %d: stopping", static_cast<int>(stop_signal));
            return 0;
        }
        std::int64_t now = sim_now_us();
        if (sim.power_on_us >= 0 && !sim.device.powered && now >= sim.power_on_us) {
            device_set_power(sim.device, true);
            sim_log(sim, "power on");
        }
        deliver(sim, now);
        if (sim.device.power_lost) {
            sim_log(sim, "power lost in program request %u", sim.options.power_off_in_block);
            return 0;
        }
        if (!sim.idle_reported && sim.in.chunks.empty() && now - sim.last_rx_us > SIM_LINE_IDLE_MS * US_PER_MS) {
            // Silence on the line: whatever partial request there is will never be completed.
            const std::uint32_t before = sim.device.stats.dropped_partial;
            device_line_idle(sim.device);
            if (sim.device.stats.dropped_partial != before)
                sim_log(sim, "line idle: partial request dropped");
            sim.idle_reported = true;
        }
        if (!transmit(sim, now)) {
            std::fprintf(stderr, "qdm7-sim: write to %s failed: %s\n", sim.port.path.c_str(),
                         std::strerror(errno));
            return 1;
        }
        if (sim.drain_from_us >= 0 && sim.out.replies.empty() && drained(sim, now))
            return 0;

        pollfd watch{sim.port.fd, 0, 0};
        const bool may_read = inbound_room(sim.in) > 0;
        if (may_read)
            watch.events |= POLLIN;
        if (sim.write_blocked)
            watch.events |= POLLOUT;
        const std::int64_t deadline = next_deadline(sim, now);
        timespec timeout{};
        timespec* wait = nullptr;
        if (deadline >= 0) {
            const std::int64_t span = std::max<std::int64_t>(0, deadline - now);
            timeout.tv_sec = static_cast<time_t>(span / 1000000);
            timeout.tv_nsec = static_cast<long>((span % 1000000) * 1000);
            wait = &timeout;
        }
        const int ready = ppoll(&watch, 1, wait, &run_mask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "qdm7-sim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        now = sim_now_us();
        if ((watch.revents & POLLOUT) != 0)
            sim.write_blocked = false;
        if ((watch.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && may_read) {
            if (!take_in(sim, now)) {
                std::fprintf(stderr, "qdm7-sim: read from %s failed: %s\n", sim.port.path.c_str(),
                             std::strerror(errno));
                return 1;
            }
            if ((watch.revents & POLLIN) == 0 && (watch.revents & (POLLHUP | POLLERR)) != 0) {
                // A serial device that went away; a pty never hangs up while we hold its slave.
                std::fprintf(stderr, "qdm7-sim: %s hung up\n", sim.port.path.c_str());
                return 1;
            }
        }
    }
}
