// Endurance: one process, one job record, 200 complete updates back to back,
// each started again from Start as the dialog's button does. The engine must
// not allocate; the heap in use after the last update must be what it was
// after the first few. Leaks at exit are LeakSanitizer's to report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's own count (gcc ships the runtime, not its header).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

#include "engine/frames.h"
#include "engine/job.h"
#include "tests/support/virtual_link.h"

namespace {

constexpr int UPDATES = 200;
constexpr int WARM_UP = 5;
constexpr std::uint32_t MAX_TICKS = 100000;

// Bytes of heap in use, or 0 where it cannot be told.
std::size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
    return mallinfo2().uordblks;
#else
    return 0;
#endif
}

TEST(Endurance, TwoHundredUpdatesThroughOneJobWithoutMemoryGrowth)
{
    virtual_link_reset();
    VirtualLink& link = virtual_link();
    link.baud = LINK_BAUD;
    link.device.program_time_ms = 20;
    TestJob test_job;
    std::vector<std::uint8_t> image = make_test_image(3 * BLOCK_SIZE + 700, 7);
    image.resize(4 * BLOCK_SIZE, 0);
    prepare_job(test_job, image);
    UpdateJob& job = test_job.job;
    const std::uint8_t* const frame_buffer = job.frame_buffer;

    std::size_t after_warm_up = 0;
    std::size_t peak = 0;
    for (int update = 1; update <= UPDATES; ++update) {
        // The device is erased between updates, so each one really programs it.
        std::fill(link.device.flash.begin(), link.device.flash.end(), DEVICE_ERASED);
        start_job(job);
        run_job(job, MAX_TICKS);
        ASSERT_EQ(job.state, JobState::Completed) << "update " << update;
        ASSERT_TRUE(std::equal(image.begin(), image.end(), link.device.flash.begin())) << "update " << update;
        ASSERT_EQ(job.frame_buffer, frame_buffer);
        ASSERT_EQ(job.offset, job.image_size);
        // The link's own logs are the test's, not the engine's.
        link.written.clear();
        link.statuses.clear();
        link.trace_text.clear();
        const std::size_t in_use = heap_in_use();
        peak = std::max(peak, in_use);
        if (update == WARM_UP)
            after_warm_up = in_use;
    }
    const std::size_t at_end = heap_in_use();
    std::printf("\nEndurance: %d complete updates of %zu bytes through one job; heap in use after update %d: %zu "
                "bytes, after update %d: %zu bytes, peak between updates: %zu bytes, growth: %lld bytes\n\n",
                UPDATES, image.size(), WARM_UP, after_warm_up, UPDATES, at_end, peak,
                static_cast<long long>(at_end) - static_cast<long long>(after_warm_up));
    std::fflush(stdout);
    if (after_warm_up == 0)
        GTEST_SKIP() << "heap use cannot be measured on this platform";
    EXPECT_LE(at_end, after_warm_up);
}

// The engine itself allocates nothing while it runs: a whole update, tick by
// tick, leaves the heap exactly as it found it once the link's logs are off.
TEST(Endurance, AJobTickNeverAllocates)
{
    virtual_link_reset();
    VirtualLink& link = virtual_link();
    TestJob test_job;
    prepare_job(test_job, make_test_image(2 * BLOCK_SIZE, 3));
    start_job(test_job.job);
    run_job(test_job.job, MAX_TICKS); // warm the device's buffers
    ASSERT_EQ(test_job.job.state, JobState::Completed);
    link.written.reserve(64);
    link.statuses.reserve(64);
    link.trace_text.clear();
    link.trace_text.reserve(8192);
    link.written.clear();
    start_job(test_job.job);
    link.statuses.clear(); // the start's own status
    const std::size_t before = heap_in_use();
    if (before == 0)
        GTEST_SKIP() << "heap use cannot be measured on this platform";
    while (test_job.job.state != JobState::Completed) {
        run_job(test_job.job, 1);
        // Free what the link's logs copied; the engine's own use is what remains.
        link.written.clear();
        link.statuses.clear();
        ASSERT_EQ(heap_in_use(), before) << "state " << static_cast<int>(test_job.job.state);
    }
}

} // namespace
