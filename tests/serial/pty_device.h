// What the C++ tests on real pseudo-terminals share: a pseudo-terminal whose
// device side a test plays, the device model answering on it, and a program
// run as a child with a time limit on the wait for its end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/qdm7_device.h"

using Clock = std::chrono::steady_clock;

inline long ms_since(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline int count_of(const std::string& text, const std::string& piece)
{
    int n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++n;
    return n;
}

// A pseudo-terminal as the kernel makes it: the program's side (the port)
// and the device's side. A test may close either early and set it to -1.
struct Pty {
    int device = -1;
    int port = -1;
    std::string path;

    Pty()
    {
        char name[256] = "";
        if (openpty(&device, &port, name, nullptr, nullptr) == 0)
            path = name;
    }
    ~Pty()
    {
        if (port >= 0)
            close(port);
        if (device >= 0)
            close(device);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void send(std::uint8_t byte) const { ASSERT_EQ(write(device, &byte, 1), 1); }
};

// A raw line for a device played on it. The port side stays open, so the
// device side never sees a hang-up when the program closes and reopens.
struct Line : Pty {
    Line()
    {
        termios raw{};
        tcgetattr(device, &raw);
        cfmakeraw(&raw);
        tcsetattr(device, TCSANOW, &raw);
    }
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

// One run of a program with its standard output and error in files; killed
// if it outlives the test.
struct Child {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
    int status = -1;

    Child(const char* program, const std::vector<std::string>& args)
    {
        char dir[] = "/tmp/qdm7-child-XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        out_path = std::string(dir) + "/out";
        err_path = std::string(dir) + "/err";
        pid = fork();
        if (pid == 0) {
            const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program));
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(program, argv.data());
            _exit(127);
        }
    }
    ~Child()
    {
        if (pid > 0 && status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (!out_path.empty()) {
            std::remove(out_path.c_str());
            std::remove(err_path.c_str());
            rmdir(out_path.substr(0, out_path.size() - 4).c_str());
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The exit code (128 + the signal for one killed), or -1 if it has not
    // ended within limit_ms.
    int wait(long limit_ms)
    {
        const auto start = Clock::now();
        while (status == -1) {
            int raw = 0;
            if (waitpid(pid, &raw, WNOHANG) == pid) {
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                break;
            }
            if (ms_since(start) > limit_ms)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return status;
    }
    std::string out() const { return read_file(out_path); }
    std::string err() const { return read_file(err_path); }
};
