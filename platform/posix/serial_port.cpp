// The serial port on POSIX: termios for the line, poll() and a monotonic
// clock for the read time-outs (VMIN/VTIME cannot express "20 ms between
// bytes or 100 ms in all"), TIOCEXCL plus flock() for exclusive use.
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__APPLE__)
#  include <IOKit/serial/ioss.h>
#endif

#include "platform/report.h"
#include "platform/serial_port.h"

PortEntry port_table[PORT_TABLE_SIZE];

namespace {

// USB virtual ports first (Linux, then macOS), then on-board UARTs.
constexpr const char* DEFAULT_PORT_PATTERNS =
    "/dev/ttyUSB*:/dev/ttyACM*:/dev/cu.usbmodem*:/dev/cu.usbserial*:/dev/ttyS*";

std::int64_t now_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

constexpr std::int64_t NS_PER_MS = 1000000;

// The inter-byte interval of each configured descriptor; configure_port
// sets it, as SetCommTimeouts does for a Windows handle.
constexpr int INTERVAL_SLOTS = 1024;
std::uint32_t read_interval_ms[INTERVAL_SLOTS];

std::uint32_t interval_of(int fd)
{
    if (fd >= 0 && fd < INTERVAL_SLOTS && read_interval_ms[fd] != 0)
        return read_interval_ms[fd];
    return READ_INTERVAL_MS;
}

int as_fd(PortHandle handle) { return static_cast<int>(handle); }

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
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool usable = isatty(fd) != 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return usable;
}

std::vector<std::string> candidate_paths()
{
    const char* configured = std::getenv("QDM7_PORT_GLOB");
    const std::string patterns =
        configured != nullptr && configured[0] != '\0' ? configured : DEFAULT_PORT_PATTERNS;
    std::vector<std::string> paths;
    std::size_t start = 0;
    while (start <= patterns.size()) {
        std::size_t end = patterns.find(':', start);
        if (end == std::string::npos)
            end = patterns.size();
        const std::string pattern = patterns.substr(start, end - start);
        start = end + 1;
        if (pattern.empty())
            continue;
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

speed_t speed_constant(std::uint32_t baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
#if defined(B921600)
    case 460800: return B460800;
    case 921600: return B921600;
#endif
    default: return B0;
    }
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

int discover_ports(const PortList& list)
{
    int found = 0;
    for (const std::string& path : candidate_paths()) {
        if (found >= MAX_PORT_NUMBER)
            break;
        if (path.size() >= PORT_PATH_SIZE || !port_is_free(path.c_str()))
            continue;
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

void open_port(UpdateJob& job)
{
    if (job.port_handle != INVALID_PORT_HANDLE)
        close_port(job);
    trace(" . Opening serial port %s at %ld baud\n", job.port_path,
          static_cast<long>(job.baud_rate));
    // Non-blocking, so that a line without carrier cannot hold up the open;
    // reads and writes wait in poll() instead.
    const int fd = open(job.port_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fatal_error("Unable to open serial port. In use already, or not present");
    // TIOCEXCL keeps other users out; root passes it, so a lock as well.
    ioctl(fd, TIOCEXCL);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = error;
        fatal_error("Unable to open serial port. In use already, or not present");
    }
    job.port_handle = fd;
}

int configure_port(PortHandle handle, std::uint32_t baud, std::uint32_t interval_ms)
{
    const int fd = as_fd(handle);
    termios line{};
    if (tcgetattr(fd, &line) != 0) {
        std::fprintf(stderr, "Could not get Port State\n");
        return -1;
    }
    if (fd >= 0 && fd < INTERVAL_SLOTS)
        read_interval_ms[fd] = interval_ms;

    // Raw 8E1: parity generated on output, not tested on input; no software
    // or hardware flow control; the modem lines are not waited for.
    cfmakeraw(&line);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
    line.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    const speed_t speed = speed_constant(baud);
    if (speed != B0) {
        cfsetispeed(&line, speed);
        cfsetospeed(&line, speed);
    }
    tcsetattr(fd, TCSANOW, &line);
    if (speed == B0)
        set_unlisted_speed(fd, baud);

    // DTR and RTS off. A pseudo-terminal has no modem lines and refuses
    // this; that is harmless.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    return 0;
}

void close_port(UpdateJob& job)
{
    const int fd = as_fd(job.port_handle);
    // Some drivers make close() wait for unsent output; nothing still queued
    // is wanted once the port is given up.
    tcflush(fd, TCOFLUSH);
    close(fd);
    if (fd >= 0 && fd < INTERVAL_SLOTS)
        read_interval_ms[fd] = 0;
    job.port_handle = INVALID_PORT_HANDLE;
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
            if (poll(&wait, 1, -1) < 0 || (wait.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                break;
            continue;
        }
        break;
    }
    return written;
}

std::int32_t port_read(PortHandle handle, std::uint8_t* buffer, std::int32_t capacity)
{
    const int fd = as_fd(handle);
    const std::int64_t interval = static_cast<std::int64_t>(interval_of(fd)) * NS_PER_MS;
    const std::int64_t began = now_ns();
    const std::int64_t total_end = began + static_cast<std::int64_t>(READ_TOTAL_MS) * NS_PER_MS;
    std::int64_t last_byte = 0;
    std::int32_t count = 0;
    while (count < capacity) {
        std::int64_t end = total_end;
        if (count > 0)
            end = std::min(end, last_byte + interval);
        const std::int64_t left = end - now_ns();
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
        if ((wait.revents & POLLIN) == 0)
            break; // hung up or failed: what came so far is the reply
        const ssize_t n = read(fd, buffer + count, static_cast<std::size_t>(capacity - count));
        if (n > 0) {
            count += static_cast<std::int32_t>(n);
            last_byte = now_ns();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return count;
}

void port_purge(PortHandle handle) { tcflush(as_fd(handle), TCIOFLUSH); }

void port_flush(PortHandle handle) { tcdrain(as_fd(handle)); }
