// A pseudo-terminal whose device side a test plays, and the device model
// answering on it: the real kernel terminal between an updater and a QDM7.
#pragma once

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "device/qdm7_device.h"

struct Line {
    int device = -1;
    int port = -1; // kept open so the device side never sees a hang-up
    std::string path;
    Line()
    {
        char name[256] = "";
        if (openpty(&device, &port, name, nullptr, nullptr) == 0)
            path = name;
        termios raw{};
        tcgetattr(device, &raw);
        cfmakeraw(&raw);
        tcsetattr(device, TCSANOW, &raw);
    }
    ~Line()
    {
        close(port);
        close(device);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
};

// The device model answering on the line, unpaced, until stopped.
inline void serve(Line& line, Qdm7Device& device, const std::atomic<bool>& stop)
{
    std::vector<std::uint8_t> buffer(65536);
    while (!stop) {
        pollfd wait{line.device, POLLIN, 0};
        if (poll(&wait, 1, 20) <= 0) {
            device_line_idle(device);
            continue;
        }
        const ssize_t n = read(line.device, buffer.data(), buffer.size());
        if (n <= 0)
            continue;
        device_receive(device, buffer.data(), static_cast<std::size_t>(n));
        DeviceReply reply;
        while (device_take_reply(device, reply))
            if (write(line.device, reply.bytes.data(), reply.bytes.size()) < 0)
                return;
    }
}
