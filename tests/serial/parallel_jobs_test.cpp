// Several update jobs at once, each on its own thread and its own port, as a
// program updating a bench of devices would run them: the engine and the
// POSIX port keep each job's state apart, and each job reports to its own
// reporter alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/frames.h"
#include "engine/image.h"
#include "engine/job.h"
#include "platform/serial_port.h"
#include "tests/serial/pty_device.h"

namespace {

constexpr std::uint32_t GIVE_UP_MS = 60000;
constexpr int DEVICES = 4;

// One device on its port, and the job that updates it.
struct Bench {
    Line line;
    Qdm7Device device;
    std::vector<std::uint8_t> image;
    UpdateJob job;
    std::vector<std::uint8_t> frame_buffer = std::vector<std::uint8_t>(FRAME_BUFFER_SIZE);
    std::string trace;
    std::vector<std::string> statuses;
    JobState ended = JobState::Start;
};

// What a program's thread for one port does, from the job's preparation to
// the port given back.
void update(Bench& bench)
{
    const JobReporter reporter{&bench,
                               [](void* b, const char* text) { static_cast<Bench*>(b)->statuses.emplace_back(text); },
                               [](void* b, const char* text) { static_cast<Bench*>(b)->trace += text; }, nullptr};
    prepare_job(bench.job, bench.frame_buffer.data(), reporter);
    if (!install_firmware_image(bench.image.data(), static_cast<std::int32_t>(bench.image.size()), bench.job))
        return;
    PortFailure failure;
    const PortHandle port = open_port(bench.line.path.c_str(), failure);
    if (port == INVALID_PORT_HANDLE || !configure_port(port, LINK_BAUD, READ_INTERVAL_MS, failure))
        return;
    start_job(bench.job, bench.line.path.c_str(), port);
    const std::uint32_t began = tick_count();
    while (bench.job.state != JobState::Completed && bench.job.state != JobState::Failed &&
           tick_count() - began < GIVE_UP_MS) {
        job_tick(bench.job);
        sleep_ms(JOB_TICK_MS);
    }
    bench.ended = bench.job.state;
    close_port(bench.job.port_handle);
    release_firmware_image(bench.job);
}

TEST(ParallelJobs, EachJobOnItsOwnThreadUpdatesItsOwnDeviceAndReportsAlone)
{
    std::vector<std::unique_ptr<Bench>> benches;
    for (int i = 0; i < DEVICES; ++i) {
        auto bench = std::make_unique<Bench>();
        ASSERT_FALSE(bench->line.path.empty());
        device_init(bench->device);
        // Images of different lengths and bytes, so that each trace and each
        // flash can be told apart.
        bench->image.resize(static_cast<std::size_t>((i + 1) * BLOCK_SIZE - 100 * i));
        for (std::size_t n = 0; n < bench->image.size(); ++n)
            bench->image[n] = static_cast<std::uint8_t>(n * 7 + static_cast<std::size_t>(i) * 31 + (n >> 9));
        benches.push_back(std::move(bench));
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> devices;
    std::vector<std::thread> jobs;
    for (auto& bench : benches)
        devices.emplace_back(serve, std::ref(bench->line), std::ref(bench->device), std::cref(stop));
    for (auto& bench : benches)
        jobs.emplace_back(update, std::ref(*bench));
    for (std::thread& job : jobs)
        job.join();
    stop = true;
    for (std::thread& device : devices)
        device.join();

    for (int i = 0; i < DEVICES; ++i) {
        const Bench& bench = *benches[static_cast<std::size_t>(i)];
        ASSERT_EQ(bench.ended, JobState::Completed) << "device " << i << "\n" << bench.trace;
        const int blocks = i + 1;
        std::vector<std::uint8_t> padded = bench.image;
        padded.resize(static_cast<std::size_t>(blocks * BLOCK_SIZE), 0);
        EXPECT_TRUE(std::equal(padded.begin(), padded.end(), bench.device.flash.begin())) << "device " << i;
        EXPECT_EQ(count_of(bench.trace, "PROG ADDR"), blocks) << bench.trace;
        char verifying[80];
        std::snprintf(verifying, sizeof verifying, "Verifying address 0x8008000, image size %#x bytes\n",
                      static_cast<unsigned>(blocks * BLOCK_SIZE));
        EXPECT_EQ(count_of(bench.trace, "Verifying address"), 1) << bench.trace;
        EXPECT_NE(bench.trace.find(verifying), std::string::npos) << bench.trace;
        ASSERT_EQ(bench.statuses.size(), static_cast<std::size_t>(blocks + 6));
        EXPECT_EQ(bench.statuses.front(), "Contacting Device...");
        EXPECT_EQ(bench.statuses.back(), "Programming Completed OK");
    }
}

} // namespace
