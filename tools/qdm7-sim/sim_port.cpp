#include "tools/qdm7-sim/sim_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/terminal.h"

namespace {

std::string lock_path_of(const SimPort& port) { return port.link_path + ".lock"; }

// The lock file beside a link: held by the simulator that serves the link,
// with its process id in it.
bool lock_link(SimPort& port, std::string& error)
{
    const std::string path = lock_path_of(port);
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
            error = port.link_path + " is served by a running qdm7-sim (process " +
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
            port.link_lock_fd = fd;
            return true;
        }
        close(fd);
    }
    error = "cannot lock " + path;
    return false;
}

// Raw, and reads wait for a byte.
bool set_raw(int fd, speed_t speed, std::string& error)
{
    termios line{};
    if (tcgetattr(fd, &line) != 0) {
        error = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    terminal_make_raw(line, speed);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        error = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool make_link(SimPort& port, std::string& error)
{
    if (!lock_link(port, error))
        return false;
    struct stat existing {};
    if (lstat(port.link_path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
        error = port.link_path + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // Made beside the target and renamed over it, so a stale link left by
    // a killed run is replaced in one step.
    const std::string temporary = port.link_path + ".qdm7-sim-" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(port.path.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), port.link_path.c_str()) != 0) {
        error = "cannot link " + port.link_path + " to " + port.path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    port.link_made = true;
    return true;
}

bool open_pty(SimPort& port, std::string& error)
{
    port.fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (port.fd < 0 || grantpt(port.fd) != 0 || unlockpt(port.fd) != 0) {
        error = std::string("cannot make a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* name = ptsname(port.fd);
    if (name == nullptr) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    port.path = name;
    port.slave_fd = open(name, O_RDWR | O_NOCTTY);
    if (port.slave_fd < 0) {
        error = "cannot open " + port.path + ": " + std::strerror(errno);
        return false;
    }
    // Raw from the start: a cooked terminal would echo our replies back to us
    // and turn line feeds in the updater's frames into CR LF.
    if (!set_raw(port.slave_fd, B921600, error))
        return false;
    return port.link_path.empty() || make_link(port, error);
}

bool open_device(SimPort& port, std::uint32_t baud, std::string& error)
{
    port.fd = open(port.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port.fd < 0) {
        error = "cannot open " + port.path + ": " + std::strerror(errno);
        return false;
    }
    if (!terminal_take(port.fd, port.made_exclusive)) {
        error = port.path + " is in use by another program";
        return false;
    }
    const speed_t speed = terminal_speed(baud);
    if (speed == B0) {
        error = "baud " + std::to_string(baud) + " is not a standard rate";
        return false;
    }
    if (!set_raw(port.fd, speed, error))
        return false;
    tcflush(port.fd, TCIOFLUSH);
    return true;
}

} // namespace

bool sim_port_open(SimPort& port, const SimOptions& options, std::string& error)
{
    bool opened = false;
    if (options.device_path.empty()) {
        port.link_path = options.link_path;
        opened = open_pty(port, error);
    } else {
        port.path = options.device_path;
        opened = open_device(port, options.baud != 0 ? options.baud : SIM_DEFAULT_BAUD, error);
    }
    if (opened)
        fcntl(port.fd, F_SETFL, fcntl(port.fd, F_GETFL) | O_NONBLOCK);
    return opened;
}

void sim_port_unlink(SimPort& port)
{
    if (port.link_lock_fd >= 0) {
        // Unlinked while still held, so a newcomer never takes a dying lock.
        unlink(lock_path_of(port).c_str());
        close(port.link_lock_fd);
        port.link_lock_fd = -1;
    }
    if (!port.link_made)
        return;
    char target[512];
    const ssize_t length = readlink(port.link_path.c_str(), target, sizeof target - 1);
    if (length >= 0) {
        target[length] = '\0';
        if (port.path == target)
            unlink(port.link_path.c_str());
    }
    port.link_made = false;
}

void sim_port_close(SimPort& port)
{
    if (port.slave_fd >= 0)
        close(port.slave_fd);
    if (port.fd >= 0) {
        terminal_give_back(port.fd, port.made_exclusive);
        close(port.fd);
    }
    port.slave_fd = -1;
    port.fd = -1;
}

int sim_port_unread(const SimPort& port)
{
    int pending = 0;
    if (port.slave_fd >= 0)
        ioctl(port.slave_fd, FIONREAD, &pending);
    else
        ioctl(port.fd, TIOCOUTQ, &pending);
    return pending;
}
