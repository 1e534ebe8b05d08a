// The serial port on POSIX: termios for the line, poll() and a monotonic
// clock for the read time-outs (VMIN/VTIME cannot express "20 ms between
// bytes or 100 ms in all"), TIOCEXCL plus flock() for exclusive use. A port
// is given back as it was found: its line settings restored and its
// exclusive flag cleared on close.
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#if defined(__APPLE__)
#  include <IOKit/serial/ioss.h>
#endif
#if defined(__linux__)
#  include <sys/sysmacros.h>
#endif

#include "platform/posix/terminal.h"
#include "platform/report.h"
#include "platform/serial_port.h"
#include "platform/serial_port_common.h"

PortEntry port_table[PORT_TABLE_SIZE];

namespace {

// USB virtual ports first (Linux, then macOS), then on-board UARTs.
constexpr const char* DEFAULT_PORT_PATTERNS =
    "/dev/ttyUSB*:/dev/ttyACM*:/dev/cu.usbmodem*:/dev/cu.usbserial*:/dev/ttyS*";

constexpr std::int64_t NS_PER_MS = 1000000;

// What this program knows about each open port, from its open to its close,
// by descriptor, whatever the descriptor's number. A port's state is touched
// only by whoever holds its descriptor, so ports used by different threads
// share nothing but the map, which is guarded (its entries stay put while
// others come and go).
struct PortState {
    std::uint32_t read_interval_ms = 0; // set by configure_port, as SetCommTimeouts does
    ReplyComplete reply_complete = nullptr; // set_reply_rule's
    std::uint32_t reply_quiet_ms = 0;
    bool settings_saved = false;        // the line settings found at open are in `found`
    termios found{};
    bool made_exclusive = false;        // TIOCEXCL was set by us, not by another holder
    bool lost = false;                  // a read or write found the device gone
};
// Never destroyed: a forced exit may give a port back while the process ends.
std::mutex& states_lock = *new std::mutex;
std::map<int, PortState>& port_states = *new std::map<int, PortState>;

PortState* state_of(int fd)
{
    const std::lock_guard<std::mutex> hold(states_lock);
    const auto found = port_states.find(fd);
    return found == port_states.end() ? nullptr : &found->second;
}

// What ends a read of the port.
struct ReadRule {
    std::uint32_t interval_ms = READ_INTERVAL_MS;
    ReplyComplete complete = nullptr;
    std::uint32_t quiet_ms = 0;
};

ReadRule read_rule_of(int fd)
{
    ReadRule rule;
    if (const PortState* state = state_of(fd)) {
        if (state->read_interval_ms != 0)
            rule.interval_ms = state->read_interval_ms;
        rule.complete = state->reply_complete;
        rule.quiet_ms = state->reply_quiet_ms;
    }
    return rule;
}

int as_fd(PortHandle handle) { return static_cast<int>(handle); }

// Errors and poll results that mean the device is gone (unplugged, or the
// far side of a pseudo-terminal closed), not merely silent.
bool means_gone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }
constexpr short GONE_EVENTS = POLLERR | POLLHUP | POLLNVAL;

void note_lost(int fd)
{
    if (PortState* state = state_of(fd))
        state->lost = true;
}

// Terminals that are no device's port: the controlling terminal (/dev/tty),
// the console and the pseudo-terminal multiplexer (/dev/ptmx, which makes a
// new terminal pair each time it is opened) share Linux's major number 5.
bool is_port_node(const struct stat& info)
{
    if (!S_ISCHR(info.st_mode))
        return false;
#if defined(__linux__)
    constexpr unsigned TTYAUX_MAJOR = 5;
    if (major(info.st_rdev) == TTYAUX_MAJOR)
        return false;
#endif
    return true;
}

// A character device that is a port and answers as a terminal.
bool is_serial_terminal(int fd)
{
    struct stat info {};
    termios line{};
    return fstat(fd, &info) == 0 && is_port_node(info) && tcgetattr(fd, &line) == 0;
}

// Gives the line back as it was found: settings, and the exclusive flag if
// we set it. Safe on a port that is gone (the calls then fail harmlessly).
void restore_found_state(int fd)
{
    PortState* state = state_of(fd);
    if (state == nullptr)
        return;
    if (state->settings_saved)
        tcsetattr(fd, TCSANOW, &state->found);
    if (state->made_exclusive)
        ioctl(fd, TIOCNXCL);
}

// Orders ttyUSB2 before ttyUSB10: digit runs compare as numbers.
bool natural_less(const std::string& a, const std::string& b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            std::size_t ei = i;
            std::size_t ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])) != 0)
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])) != 0)
                ++ej;
            const std::string na = a.substr(i, ei - i);
            const std::string nb = b.substr(j, ej - j);
            const std::size_t za = na.find_first_not_of('0');
            const std::size_t zb = nb.find_first_not_of('0');
            const std::string ta = za == std::string::npos ? "" : na.substr(za);
            const std::string tb = zb == std::string::npos ? "" : nb.substr(zb);
            if (ta.size() != tb.size())
                return ta.size() < tb.size();
            if (ta != tb)
                return ta < tb;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// A port is listed only if it is a terminal that this program could open
// and lock right now, as the Windows probe lists only ports it can open.
bool port_is_free(const char* path)
{
    // Only ports are opened at all: opening a file or /dev/ptmx is not harmless.
    struct stat info {};
    if (stat(path, &info) != 0 || !is_port_node(info))
        return false;
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool usable = is_serial_terminal(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return usable;
}

} // namespace

PortHandle open_port(const char* path, PortFailure& failure, bool serial_only)
{
    if (!port_path_given(path, failure))
        return INVALID_PORT_HANDLE;
    const auto fail = [&failure](int error) {
        failure.kind = PortFailureKind::System;
        failure.code = static_cast<unsigned long>(error);
        failure.absent = error == ENOENT || error == ENODEV || error == ENXIO;
        failure.busy = error == EBUSY;
        failure.denied = error == EACCES || error == EPERM;
        std::snprintf(failure.text, sizeof failure.text, "%s", std::strerror(error));
        return INVALID_PORT_HANDLE;
    };
    const auto refuse = [&failure] {
        failure.kind = PortFailureKind::NotSupported;
        std::snprintf(failure.text, sizeof failure.text, "not a serial port");
        return INVALID_PORT_HANDLE;
    };
    struct stat info {};
    if (serial_only && stat(path, &info) == 0 && !is_port_node(info))
        return refuse();
    // Non-blocking, so that a line without carrier cannot hold up the open;
    // reads and writes wait in poll() instead.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(errno);
    if (serial_only && !is_serial_terminal(fd)) {
        close(fd);
        return refuse();
    }
    PortState fresh;
    if (!terminal_take(fd, fresh.made_exclusive)) {
        const int error = errno;
        close(fd);
        return fail(error);
    }
    fresh.settings_saved = tcgetattr(fd, &fresh.found) == 0;
    {
        const std::lock_guard<std::mutex> hold(states_lock);
        port_states[fd] = fresh;
    }
    return fd;
}

namespace {

std::vector<std::string> candidate_paths()
{
    const char* configured = std::getenv("QDM7_PORT_GLOB");
    const std::string patterns =
        configured != nullptr && configured[0] != '\0' ? configured : DEFAULT_PORT_PATTERNS;
    std::vector<std::string> paths;
    for (const std::string& pattern : split_patterns(patterns, ":")) {
        glob_t found{};
        if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
            std::vector<std::string> group(found.gl_pathv, found.gl_pathv + found.gl_pathc);
            std::sort(group.begin(), group.end(), natural_less);
            for (const std::string& path : group)
                if (std::find(paths.begin(), paths.end(), path) == paths.end())
                    paths.push_back(path);
        }
        globfree(&found);
    }
    return paths;
}

// Where the system has no constant for the speed (921600 on macOS), its own
// call sets it once the rest of the line is in place.
void set_unlisted_speed(int fd, std::uint32_t baud)
{
#if defined(__APPLE__)
    speed_t custom = baud;
    ioctl(fd, IOSSIOSPEED, &custom);
#else
    (void)fd;
    (void)baud;
#endif
}

} // namespace

std::vector<std::string> port_paths(bool usable_only)
{
    std::vector<std::string> paths;
    for (const std::string& path : candidate_paths()) {
        if (path.size() < PORT_PATH_SIZE && (!usable_only || port_is_free(path.c_str())))
            paths.push_back(path);
    }
    return paths;
}

std::string port_path_of(const std::string& name) { return name; }

bool port_present(const char* path)
{
    struct stat info {};
    return path != nullptr && stat(path, &info) == 0;
}

int discover_ports(const PortList& list)
{
    int found = 0;
    for (const std::string& path : port_paths(true)) {
        if (found >= MAX_PORT_NUMBER)
            break;
        if (list.add != nullptr)
            list.add(list.context, path.c_str());
        PortEntry& entry = port_table[found++];
        entry.number = found;
        std::snprintf(entry.path, sizeof entry.path, "%s", path.c_str());
    }
    if (found > 0 && list.select_first != nullptr)
        list.select_first(list.context);
    return found;
}

bool configure_port(PortHandle handle, std::uint32_t baud, std::uint32_t interval_ms, PortFailure& failure)
{
    failure = PortFailure{};
    const int fd = as_fd(handle);
    termios line{};
    if (tcgetattr(fd, &line) != 0) {
        failure.kind = PortFailureKind::System;
        failure.code = static_cast<unsigned long>(errno);
        std::snprintf(failure.text, sizeof failure.text, "Could not get Port State");
        return false;
    }
    if (PortState* state = state_of(fd))
        state->read_interval_ms = interval_ms;

    const speed_t speed = terminal_speed(baud);
    terminal_make_raw(line, speed);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &line);
    if (speed == B0)
        set_unlisted_speed(fd, baud);

    // DTR and RTS off. A pseudo-terminal has no modem lines and refuses
    // this; that is harmless.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    return true;
}

void set_reply_rule(PortHandle handle, ReplyComplete complete, std::uint32_t quiet_ms)
{
    if (PortState* state = state_of(as_fd(handle))) {
        state->reply_complete = complete;
        state->reply_quiet_ms = quiet_ms;
    }
}

void close_port(PortHandle& handle)
{
    if (handle == INVALID_PORT_HANDLE)
        return;
    const int fd = as_fd(handle);
    // Some drivers make close() wait for unsent output; nothing still queued
    // is wanted once the port is given up.
    tcflush(fd, TCOFLUSH);
    restore_found_state(fd);
    flock(fd, LOCK_UN);
    // Forgotten while the descriptor is still ours: once closed, its number
    // may at once be another thread's newly opened port.
    {
        const std::lock_guard<std::mutex> hold(states_lock);
        port_states.erase(fd);
    }
    close(fd);
    handle = INVALID_PORT_HANDLE;
}

void port_abandon(PortHandle handle)
{
    const int fd = as_fd(handle);
    tcflush(fd, TCIOFLUSH);
    restore_found_state(fd);
}

bool port_lost(PortHandle handle)
{
    const PortState* state = state_of(as_fd(handle));
    return state != nullptr && state->lost;
}

std::int32_t port_write(PortHandle handle, const std::uint8_t* buffer, std::int32_t length)
{
    const int fd = as_fd(handle);
    std::int32_t written = 0;
    while (written < length) {
        const ssize_t n = write(fd, buffer + written, static_cast<std::size_t>(length - written));
        if (n > 0) {
            written += static_cast<std::int32_t>(n);
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd wait{fd, POLLOUT, 0};
            // A signal ends the write early, so that a caught signal can
            // stop a program whose device no longer reads.
            if (poll(&wait, 1, -1) < 0)
                break;
            if ((wait.revents & GONE_EVENTS) != 0) {
                note_lost(fd);
                break;
            }
            continue;
        }
        if (n < 0 && means_gone(errno))
            note_lost(fd);
        break;
    }
    return written;
}

std::int32_t port_read(PortHandle handle, std::uint8_t* buffer, std::int32_t capacity)
{
    const int fd = as_fd(handle);
    const ReadRule rule = read_rule_of(fd);
    const std::int64_t interval = static_cast<std::int64_t>(rule.interval_ms) * NS_PER_MS;
    const std::int64_t quiet = static_cast<std::int64_t>(rule.quiet_ms) * NS_PER_MS;
    bool whole = false; // the bytes so far pass the reply rule's test
    const std::int64_t began = monotonic_ns();
    const std::int64_t total_end = began + static_cast<std::int64_t>(READ_TOTAL_MS) * NS_PER_MS;
    std::int64_t last_byte = 0;
    std::int32_t count = 0;
    while (count < capacity) {
        std::int64_t end = total_end;
        if (count > 0)
            end = std::min(end, last_byte + (whole ? quiet : interval));
        const std::int64_t left = end - monotonic_ns();
        if (left <= 0)
            break;
        pollfd wait{fd, POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>((left + NS_PER_MS - 1) / NS_PER_MS));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0)
            continue;
        if ((wait.revents & POLLIN) == 0) {
            // Hung up or failed: what came so far is the reply.
            if ((wait.revents & GONE_EVENTS) != 0)
                note_lost(fd);
            break;
        }
        const ssize_t n = read(fd, buffer + count, static_cast<std::size_t>(capacity - count));
        if (n > 0) {
            count += static_cast<std::int32_t>(n);
            last_byte = monotonic_ns();
            whole = rule.complete != nullptr && rule.complete(buffer, count);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // A hung-up terminal reads as the end of the file.
            if ((n == 0 && (wait.revents & GONE_EVENTS) != 0) || (n < 0 && means_gone(errno)))
                note_lost(fd);
            break;
        }
    }
    return count;
}

void port_purge(PortHandle handle) { tcflush(as_fd(handle), TCIOFLUSH); }

void port_flush(PortHandle handle) { tcdrain(as_fd(handle)); }
