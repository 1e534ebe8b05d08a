// A program linked without a firmware image: the loader treats it as empty.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "engine/frames.h"
#include "engine/image.h"
#include "platform/embedded_image.h"
#include "tests/support/virtual_link.h"

namespace {

TEST(MissingImage, LoadsOneBlockOfZerosWithoutAMessage)
{
    virtual_link_reset();
    const EmbeddedImage embedded = find_embedded_image(nullptr);
    EXPECT_EQ(embedded.data, nullptr);
    EXPECT_EQ(embedded.length, 0u);

    TestJob test_job;
    prepare_job(test_job, {});
    load_firmware_image(embedded.data, embedded.length, test_job.job);

    const UpdateJob& job = test_job.job;
    ASSERT_EQ(job.image_size, BLOCK_SIZE);
    EXPECT_EQ(job.base_address, FLASH_BASE);
    EXPECT_TRUE(std::all_of(job.image, job.image + BLOCK_SIZE, [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(virtual_link().trace_text,
              "\nFlash Image Base 0x8008000\nFlash Image Size 0x4000 bytes\n");
    EXPECT_TRUE(virtual_link().statuses.empty());
    std::free(const_cast<std::uint8_t*>(job.image));
}

} // namespace
