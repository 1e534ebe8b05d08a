// qdm7-sim: the virtual QDM7 on a pseudo-terminal or a serial device.
//
// One thread, one poll loop. Bytes from the updater are taken off the line
// no faster than the wire would deliver them, handed to the device model,
// and its replies written back at the wire rate once each reply's delay has
// passed. Time is the monotonic clock in microseconds.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "device/qdm7_device.h"
#include "engine/frames.h"
#include "platform/platform.h"
#include "tools/qdm7-sim/sim_options.h"

namespace {

constexpr int EXIT_USAGE = 64;
constexpr std::int64_t US_PER_MS = 1000;
// The line is handed to the device and written out in pieces of about this
// much wire time.
constexpr std::int64_t PIECE_US = 2000;
// Bytes are taken off the terminal up to this many ahead of the wire: the
// whole largest request, as a serial driver holds a written frame in its
// transmit queue. A pty's own buffer holds only a few KiB, and an updater
// descheduled for 20 ms mid-frame on a busy machine would otherwise leave the
// wire silent long enough for the device to drop the partial request.
constexpr std::size_t LOOKAHEAD_BYTES = FRAME_BUFFER_SIZE;
// After the reset acknowledgement, how long to wait for the updater to read
// it: at least the first (written bytes reach the terminal's input queue a
// moment later, and closing the master discards what is unread), at most the
// second.
constexpr std::int64_t DRAIN_MIN_US = 100 * US_PER_MS;
constexpr std::int64_t DRAIN_MAX_US = 2000 * US_PER_MS;

volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int signal_number) { stop_signal = signal_number; }

std::int64_t now_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct Outgoing {
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    std::int64_t ready_us = 0;     // the first byte may not start before this
    std::size_t split_at = 0;
    std::int64_t split_gap_us = 0;
    bool reset_ack = false;        // a good acknowledgement of a reset request
};

// Bytes taken off the terminal at one moment, waiting for the wire to deliver them.
struct Incoming {
    std::int64_t available_us = 0;
    std::vector<std::uint8_t> bytes;
    std::size_t delivered = 0;
};

struct Sim {
    SimOptions options;
    Qdm7Device device;
    int fd = -1;                   // pty master or serial device
    int slave_fd = -1;             // kept open so the master never sees EIO
    std::string port_path;
    bool link_made = false;
    int link_lock_fd = -1;         // held while we serve the link, so a second sim sees us
    std::FILE* dump_file = nullptr; // made at the start, so a bad path fails before the update
    std::int64_t start_us = 0;
    double char_us = 0;            // wire time of one character; 0 unpaced
    std::size_t piece = 4096;      // bytes delivered or written out at a time
    std::size_t lookahead = 65536; // bytes taken off the terminal ahead of the wire

    // Host to device.
    std::deque<Incoming> incoming;
    std::size_t incoming_bytes = 0;
    std::int64_t rx_free_us = 0;   // when the wire has delivered what it was given
    std::int64_t last_rx_us = -1;  // arrival of the last byte at the device
    bool idle_reported = true;
    std::int64_t power_on_us = -1; // scheduled power-on, once the first byte came

    // Device to host.
    std::deque<Outgoing> outbox;
    std::int64_t tx_free_us = 0;   // when the wire has sent what was written
    bool write_blocked = false;

    std::uint64_t rx_bytes = 0;
    std::uint64_t tx_bytes = 0;
    std::uint32_t replies_sent = 0;
    std::int64_t drain_from_us = -1;  // exiting after the reset: when the ack went out
};

void log(const Sim& sim, const char* format, ...) QDM7_PRINTF(2, 3);
void log(const Sim& sim, const char* format, ...)
{
    if (!sim.options.verbose)
        return;
    std::fprintf(stderr, "qdm7-sim %9.3f ", static_cast<double>(now_us() - sim.start_us) / 1e6);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

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
        log(sim, "request: reset%s", request.crc_ok ? "" : ", bad CRC: dropped");
    else
        log(sim, "request: %s address %#x length %#x%s", request_name(request.sub_command),
            static_cast<unsigned>(request.address), static_cast<unsigned>(request.length),
            request.crc_ok ? "" : ", bad CRC: dropped");
}

// The lock file beside a link: held by the simulator that serves the link,
// with its process id in it.
std::string lock_path_of(const Sim& sim) { return sim.options.link_path + ".lock"; }

bool lock_link(Sim& sim, std::string& error)
{
    const std::string path = lock_path_of(sim);
    // A lock file removed by its owner's exit just as we opened it is
    // no longer the one at the path: take the path again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = "cannot make " + path + ": " + std::strerror(errno);
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            char owner[32] = "";
            const ssize_t n = pread(fd, owner, sizeof owner - 1, 0);
            owner[n > 0 ? n : 0] = '\0';
            close(fd);
            error = sim.options.link_path + " is served by a running qdm7-sim (process " +
                    std::string(owner[0] != '\0' ? owner : "unknown") + "); stop that one first";
            return false;
        }
        struct stat held {};
        struct stat named {};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            const std::string pid = std::to_string(getpid());
            if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) < 0) {
                // The pid is only a courtesy to the next user; the lock is what counts.
            }
            sim.link_lock_fd = fd;
            return true;
        }
        close(fd);
    }
    error = "cannot lock " + path;
    return false;
}

bool set_raw(int fd, speed_t speed, std::string& error)
{
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&tio);
    // 8 data bits, even parity (sent, not checked), 1 stop bit, no flow control.
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS | PARODD | CSIZE);
    tio.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool speed_for_baud(std::uint32_t baud, speed_t& speed)
{
    struct Pair {
        std::uint32_t baud;
        speed_t speed;
    };
    static constexpr Pair table[] = {
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const Pair& pair : table) {
        if (pair.baud == baud) {
            speed = pair.speed;
            return true;
        }
    }
    return false;
}

bool open_pty(Sim& sim, std::string& error)
{
    sim.fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (sim.fd < 0 || grantpt(sim.fd) != 0 || unlockpt(sim.fd) != 0) {
        error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(sim.fd);
    if (name == nullptr) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    sim.port_path = name;
    sim.slave_fd = open(name, O_RDWR | O_NOCTTY);
    if (sim.slave_fd < 0) {
        error = "cannot open " + sim.port_path + ": " + std::strerror(errno);
        return false;
    }
    // Raw from the start: a cooked terminal would echo our replies back to us
    // and turn line feeds in the updater's frames into CR LF.
    if (!set_raw(sim.slave_fd, B921600, error))
        return false;
    if (!sim.options.link_path.empty()) {
        if (!lock_link(sim, error))
            return false;
        struct stat existing {};
        if (lstat(sim.options.link_path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
            error = sim.options.link_path + " exists and is not a symbolic link; not replacing it";
            return false;
        }
        // Made beside the target and renamed over it, so a stale link left by
        // a killed run is replaced in one step.
        const std::string temporary = sim.options.link_path + ".qdm7-sim-" + std::to_string(getpid());
        unlink(temporary.c_str());
        if (symlink(name, temporary.c_str()) != 0 || rename(temporary.c_str(), sim.options.link_path.c_str()) != 0) {
            error = "cannot link " + sim.options.link_path + " to " + sim.port_path + ": " + std::strerror(errno);
            unlink(temporary.c_str());
            return false;
        }
        sim.link_made = true;
    }
    return true;
}

bool open_device(Sim& sim, std::string& error)
{
    sim.port_path = sim.options.device_path;
    sim.fd = open(sim.port_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (sim.fd < 0) {
        error = "cannot open " + sim.port_path + ": " + std::strerror(errno);
        return false;
    }
    if (flock(sim.fd, LOCK_EX | LOCK_NB) != 0) {
        error = sim.port_path + " is in use by another program";
        return false;
    }
    ioctl(sim.fd, TIOCEXCL);
    speed_t speed = B921600;
    const std::uint32_t baud = sim.options.baud != 0 ? sim.options.baud : SIM_DEFAULT_BAUD;
    if (!speed_for_baud(baud, speed)) {
        error = "baud " + std::to_string(baud) + " is not a standard rate";
        return false;
    }
    if (!set_raw(sim.fd, speed, error))
        return false;
    tcflush(sim.fd, TCIOFLUSH);
    return true;
}

void remove_link(Sim& sim)
{
    if (sim.link_lock_fd >= 0) {
        // Unlinked while still held, so a newcomer never takes a dying lock.
        unlink(lock_path_of(sim).c_str());
        close(sim.link_lock_fd);
        sim.link_lock_fd = -1;
    }
    if (!sim.link_made)
        return;
    // Only our own link: another run may have taken the name since.
    char target[512];
    const ssize_t length = readlink(sim.options.link_path.c_str(), target, sizeof target - 1);
    if (length >= 0) {
        target[length] = '\0';
        if (sim.port_path == target)
            unlink(sim.options.link_path.c_str());
    }
    sim.link_made = false;
}

void take_replies(Sim& sim, std::int64_t request_end_us)
{
    DeviceReply reply;
    while (device_take_reply(sim.device, reply)) {
        Outgoing out;
        out.ready_us = request_end_us + static_cast<std::int64_t>(reply.delay_ms) * US_PER_MS;
        out.split_at = reply.split_at;
        out.split_gap_us = static_cast<std::int64_t>(reply.split_gap_ms) * US_PER_MS;
        const auto size = static_cast<std::int32_t>(reply.bytes.size());
        out.reset_ack = size >= 3 && reply.bytes[2] == SUB_RESET && reply_is_valid(reply.bytes.data(), size);
        out.bytes = std::move(reply.bytes);
        log(sim, "reply of %zu bytes (sub-command %#x) due in %u ms%s", out.bytes.size(),
            out.bytes.size() > 2 ? out.bytes[2] : 0u, reply.delay_ms, out.split_at != 0 ? ", split" : "");
        sim.outbox.push_back(std::move(out));
    }
}

// Takes what the terminal holds, up to the lookahead. Returns false on a
// fatal read error.
bool take_in(Sim& sim, std::int64_t now)
{
    if (sim.incoming_bytes >= sim.lookahead)
        return true;
    Incoming chunk;
    chunk.available_us = now;
    chunk.bytes.resize(sim.lookahead - sim.incoming_bytes);
    const ssize_t got = read(sim.fd, chunk.bytes.data(), chunk.bytes.size());
    if (got < 0)
        return errno == EAGAIN || errno == EINTR;
    if (got == 0)
        return true;
    chunk.bytes.resize(static_cast<std::size_t>(got));
    sim.incoming_bytes += chunk.bytes.size();
    sim.rx_bytes += chunk.bytes.size();
    if (sim.options.power_on_delayed && sim.power_on_us < 0) {
        sim.power_on_us = now + static_cast<std::int64_t>(sim.options.power_on_after_ms) * US_PER_MS;
        log(sim, "first byte; power on in %u ms", sim.options.power_on_after_ms);
    }
    sim.incoming.push_back(std::move(chunk));
    return true;
}

// When the wire starts on the first waiting byte, and how many bytes the
// next piece holds.
std::int64_t next_piece(const Sim& sim, std::size_t& size)
{
    const Incoming& chunk = sim.incoming.front();
    size = std::min(chunk.bytes.size() - chunk.delivered, sim.piece);
    return std::max(sim.rx_free_us, chunk.available_us);
}

// Hands the device every piece that the wire has delivered by now.
void deliver(Sim& sim, std::int64_t now)
{
    while (!sim.incoming.empty()) {
        Incoming& chunk = sim.incoming.front();
        std::size_t size = 0;
        const std::int64_t start = next_piece(sim, size);
        std::int64_t arrived = now;
        if (sim.char_us > 0) {
            arrived = start + static_cast<std::int64_t>(static_cast<double>(size) * sim.char_us);
            if (arrived > now)
                break;
            if (sim.last_rx_us >= 0 && start - sim.last_rx_us > PIECE_US)
                log(sim, "line busy again after %.1f ms", static_cast<double>(start - sim.last_rx_us) / 1e3);
            sim.rx_free_us = arrived;
        }
        sim.last_rx_us = arrived;
        sim.idle_reported = false;
        device_receive(sim.device, chunk.bytes.data() + chunk.delivered, size);
        take_replies(sim, arrived);
        chunk.delivered += size;
        sim.incoming_bytes -= size;
        if (chunk.delivered == chunk.bytes.size())
            sim.incoming.pop_front();
    }
}

// When the next piece of the first reply is due, and its size. A piece goes
// out when its last byte would have crossed the wire.
std::int64_t next_reply_piece(const Sim& sim, std::size_t& size)
{
    const Outgoing& out = sim.outbox.front();
    std::int64_t start = std::max(out.ready_us, sim.tx_free_us);
    if (out.split_at != 0 && out.sent == out.split_at)
        start = std::max(start, sim.tx_free_us + out.split_gap_us);
    size = out.bytes.size() - out.sent;
    if (out.split_at != 0 && out.sent < out.split_at)
        size = out.split_at - out.sent;
    if (sim.char_us > 0)
        size = std::min(size, sim.piece);
    return start + static_cast<std::int64_t>(static_cast<double>(size) * sim.char_us);
}

// Writes the next piece of the first reply if its time has come. Returns
// false on a fatal write error.
bool transmit(Sim& sim, std::int64_t now)
{
    if (sim.outbox.empty())
        return true;
    Outgoing& out = sim.outbox.front();
    std::size_t size = 0;
    const std::int64_t due = next_reply_piece(sim, size);
    if (now < due)
        return true;
    const ssize_t written = write(sim.fd, out.bytes.data() + out.sent, size);
    if (written < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            sim.write_blocked = true;
            return true;
        }
        return false;
    }
    sim.write_blocked = false;
    out.sent += static_cast<std::size_t>(written);
    sim.tx_bytes += static_cast<std::size_t>(written);
    sim.tx_free_us = sim.char_us > 0 ? due : now;
    if (out.sent < out.bytes.size())
        return true;
    ++sim.replies_sent;
    log(sim, "reply of %zu bytes written", out.bytes.size());
    if (out.reset_ack && sim.options.exit_after_reset && sim.drain_from_us < 0) {
        log(sim, "reset acknowledged; ending once it is read");
        sim.drain_from_us = now;
    }
    sim.outbox.pop_front();
    return true;
}

// True once the updater has read everything we wrote (or we gave up waiting).
bool drained(const Sim& sim, std::int64_t now)
{
    if (now - sim.drain_from_us < DRAIN_MIN_US)
        return false;
    if (now - sim.drain_from_us >= DRAIN_MAX_US)
        return true;
    int pending = 0;
    if (sim.slave_fd >= 0)
        ioctl(sim.slave_fd, FIONREAD, &pending);
    else
        ioctl(sim.fd, TIOCOUTQ, &pending);
    return pending == 0;
}

// The next moment something is due, or -1 for none.
std::int64_t next_deadline(const Sim& sim, std::int64_t now)
{
    std::int64_t next = -1;
    auto consider = [&](std::int64_t at) {
        if (next < 0 || at < next)
            next = at;
    };
    if (!sim.incoming.empty()) {
        std::size_t size = 0;
        const std::int64_t start = next_piece(sim, size);
        consider(start + static_cast<std::int64_t>(static_cast<double>(size) * sim.char_us));
    }
    if (!sim.idle_reported)
        consider(sim.last_rx_us + SIM_LINE_IDLE_MS * US_PER_MS + 1);
    if (sim.power_on_us >= 0 && !sim.device.powered)
        consider(sim.power_on_us);
    if (!sim.outbox.empty() && !sim.write_blocked) {
        std::size_t size = 0;
        consider(next_reply_piece(sim, size));
    }
    if (sim.drain_from_us >= 0)
        consider(now + 10 * US_PER_MS);
    return next;
}

// Runs until a stop signal, the reset (with --exit-after-reset) or an error.
int serve(Sim& sim, const sigset_t& run_mask)
{
    for (;;) {
        if (stop_signal != 0) {
            log(sim, "signal %d: stopping", static_cast<int>(stop_signal));
            return 0;
        }
        std::int64_t now = now_us();
        if (sim.power_on_us >= 0 && !sim.device.powered && now >= sim.power_on_us) {
            device_set_power(sim.device, true);
            log(sim, "power on");
        }
        deliver(sim, now);
        if (!sim.idle_reported && sim.incoming.empty() && now - sim.last_rx_us > SIM_LINE_IDLE_MS * US_PER_MS) {
            // Silence on the line: whatever partial request there is will never be completed.
            const std::uint32_t before = sim.device.stats.dropped_partial;
            device_line_idle(sim.device);
            if (sim.device.stats.dropped_partial != before)
                log(sim, "line idle: partial request dropped");
            sim.idle_reported = true;
        }
        if (!transmit(sim, now)) {
            std::fprintf(stderr, "qdm7-sim: write to %s failed: %s\n", sim.port_path.c_str(), std::strerror(errno));
            return 1;
        }
        if (sim.drain_from_us >= 0 && sim.outbox.empty() && drained(sim, now))
            return 0;

        pollfd watch{sim.fd, 0, 0};
        const bool may_read = sim.incoming_bytes < sim.lookahead;
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
        now = now_us();
        if ((watch.revents & POLLOUT) != 0)
            sim.write_blocked = false;
        if ((watch.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && may_read) {
            if (!take_in(sim, now)) {
                std::fprintf(stderr, "qdm7-sim: read from %s failed: %s\n", sim.port_path.c_str(),
                             std::strerror(errno));
                return 1;
            }
            if ((watch.revents & POLLIN) == 0 && (watch.revents & (POLLHUP | POLLERR)) != 0) {
                // A serial device that went away; a pty never hangs up while we hold its slave.
                std::fprintf(stderr, "qdm7-sim: %s hung up\n", sim.port_path.c_str());
                return 1;
            }
        }
    }
}

bool write_dump(Sim& sim)
{
    const std::string& path = sim.options.dump_path;
    std::FILE* file = sim.dump_file;
    sim.dump_file = nullptr;
    const std::size_t size = sim.device.stats.programmed_end;
    const bool ok = std::fwrite(sim.device.flash.data(), 1, size, file) == size;
    const bool closed = std::fclose(file) == 0;
    if (!ok || !closed) {
        std::fprintf(stderr, "qdm7-sim: writing %s failed\n", path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Sim sim;
    std::string error;
    switch (parse_sim_options(argc, argv, sim.options, error)) {
    case ParseResult::Help: std::fputs(sim_usage(), stdout); return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "qdm7-sim: %s (try --help)\n", error.c_str());
        return EXIT_USAGE;
    case ParseResult::Run: break;
    }

    // The stop signals are held back except while waiting in ppoll, so one
    // that comes at any other moment is seen at the next wait.
    sigset_t stop_set;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGHUP);
    sigset_t run_mask;
    sigprocmask(SIG_BLOCK, &stop_set, &run_mask);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    device_init(sim.device);
    device_seed(sim.device, sim.options.seed);
    if (sim.options.verbose) {
        sim.device.observer = log_request;
        sim.device.observer_context = &sim;
    }
    sim.device.program_time_ms = sim.options.program_ms;
    for (const FaultRule& rule : sim.options.faults)
        device_add_fault(sim.device, rule);
    if (sim.options.power_on_delayed)
        device_set_power(sim.device, false);

    bool opened = sim.options.device_path.empty() ? open_pty(sim, error) : open_device(sim, error);
    // The dump is made now, so that a path it cannot go to fails before the
    // update rather than after it.
    if (opened && !sim.options.dump_path.empty()) {
        sim.dump_file = std::fopen(sim.options.dump_path.c_str(), "wb");
        if (sim.dump_file == nullptr) {
            error = "cannot write " + sim.options.dump_path + ": " + std::strerror(errno);
            opened = false;
        }
    }
    if (!opened) {
        std::fprintf(stderr, "qdm7-sim: %s\n", error.c_str());
        remove_link(sim);
        return 1;
    }
    fcntl(sim.fd, F_SETFL, fcntl(sim.fd, F_GETFL) | O_NONBLOCK);
    // A serial device is paced by its own hardware.
    if (sim.options.baud != 0 && sim.options.device_path.empty()) {
        sim.char_us = 11.0 * 1e6 / sim.options.baud;
        sim.piece = std::max<std::size_t>(1, static_cast<std::size_t>(static_cast<double>(PIECE_US) / sim.char_us));
        sim.lookahead = LOOKAHEAD_BYTES;
    }
    sim.start_us = now_us();

    std::printf("READY %s\n", sim.port_path.c_str());
    std::fflush(stdout);
    int status = serve(sim, run_mask);

    remove_link(sim);
    if (!sim.options.dump_path.empty() && !write_dump(sim))
        status = 1;
    const DeviceStats& stats = sim.device.stats;
    std::uint32_t faults_fired = 0;
    for (const FaultRule& rule : sim.device.faults)
        faults_fired += rule.fired;
    std::printf("STATS rx_bytes=%llu tx_bytes=%llu replies=%u blocks=%u queries=%u resets=%u refusals=%u "
                "bad_crc=%u skipped_bytes=%u dropped_partial=%u faults_fired=%u seconds=%.3f\n",
                static_cast<unsigned long long>(sim.rx_bytes), static_cast<unsigned long long>(sim.tx_bytes),
                sim.replies_sent, stats.blocks_programmed, stats.queries, stats.resets, stats.refusals,
                stats.bad_crc, stats.skipped_bytes, stats.dropped_partial, faults_fired,
                static_cast<double>(now_us() - sim.start_us) / 1e6);
    std::fflush(stdout);
    if (sim.slave_fd >= 0)
        close(sim.slave_fd);
    close(sim.fd);
    return status;
}
