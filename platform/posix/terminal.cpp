#include "platform/posix/terminal.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>

#include <cerrno>

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

speed_t terminal_speed(std::uint32_t baud)
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

void terminal_make_raw(termios& line, speed_t speed)
{
    cfmakeraw(&line);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARODD | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
    line.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY);
    if (speed != B0) {
        cfsetispeed(&line, speed);
        cfsetospeed(&line, speed);
    }
}

bool terminal_take(int fd, bool& made_exclusive)
{
    int exclusive_already = 0;
#if defined(TIOCGEXCL)
    if (ioctl(fd, TIOCGEXCL, &exclusive_already) != 0)
        exclusive_already = 0;
#endif
    made_exclusive = exclusive_already == 0 && ioctl(fd, TIOCEXCL) == 0;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    const int error = errno == EWOULDBLOCK ? EBUSY : errno;
    if (made_exclusive)
        ioctl(fd, TIOCNXCL);
    made_exclusive = false;
    errno = error;
    return false;
}

void terminal_give_back(int fd, bool made_exclusive)
{
    if (made_exclusive)
        ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
}
