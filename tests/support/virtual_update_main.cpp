// A whole update of the virtual QDM7 with the firmware image built into this
// program, in one process on the virtual clock: prints the trace and each
// status change as the dialog would show it.
#include <cstdio>
#include <cstring>

#include "engine/frames.h"
#include "engine/image.h"
#include "platform/embedded_image.h"
#include "tests/support/virtual_link.h"

namespace {

// Process-wide, as in the dialog program: the image copy is kept until exit.
TestJob test_job;

} // namespace

int main()
{
    virtual_link_reset();
    virtual_link().baud = LINK_BAUD;
    prepare_job(test_job, {});
    const EmbeddedImage image = find_embedded_image(nullptr);
    load_firmware_image(image.data, image.length, test_job.job);
    UpdateJob& job = test_job.job;
    std::printf("%d blocks of %d bytes", job.image_size / BLOCK_SIZE, BLOCK_SIZE);
    start_job(job);
    std::size_t shown = 0;
    while (job.state != JobState::Completed && job.state != JobState::Failed) {
        std::fputs(virtual_link().trace_text.c_str(), stdout);
        virtual_link().trace_text.clear();
        run_job(job, 1);
        for (; shown < virtual_link().statuses.size(); ++shown)
            std::printf("\nstatus: %s\n", virtual_link().statuses[shown].c_str());
    }
    std::fputs(virtual_link().trace_text.c_str(), stdout);
    const bool same = std::memcmp(virtual_link().device.flash.data(), job.image,
                                  static_cast<std::size_t>(job.image_size)) == 0;
    std::printf("\n%s after %.1f s of virtual time; device flash %s the padded image\n",
                job.state == JobState::Completed ? "Completed" : "Failed",
                virtual_link().now / 1000.0, same ? "equals" : "differs from");
    return job.state == JobState::Completed && same ? 0 : 1;
}
