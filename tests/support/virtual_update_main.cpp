// A whole update of the virtual QDM7 in one process on the virtual clock:
// prints the trace and each status change as the dialog would show it.
#include <cstdio>
#include <cstring>

#include "engine/frames.h"
#include "tests/support/virtual_link.h"

int main()
{
    virtual_link_reset();
    virtual_link().baud = LINK_BAUD;
    TestJob test_job;
    prepare_job(test_job, make_test_image(3 * BLOCK_SIZE + 1000));
    start_job(test_job.job);
    std::size_t shown = 0;
    std::printf("status: Contacting Device...\n");
    while (test_job.job.state != JobState::Completed && test_job.job.state != JobState::Failed) {
        run_job(test_job.job, 1);
        std::fputs(virtual_link().trace_text.c_str(), stdout);
        virtual_link().trace_text.clear();
        for (; shown < virtual_link().statuses.size(); ++shown)
            std::printf("\nstatus: %s\n", virtual_link().statuses[shown].c_str());
    }
    const bool same = std::memcmp(virtual_link().device.flash.data(), test_job.image.data(),
                                  test_job.image.size()) == 0;
    std::printf("\n%s after %.1f s of virtual time; device flash %s the image\n",
                test_job.job.state == JobState::Completed ? "Completed" : "Failed",
                virtual_link().now / 1000.0, same ? "equals" : "differs from");
    return test_job.job.state == JobState::Completed && same ? 0 : 1;
}
