// The firmware image loader: padding, the copy in the job and its trace, and
// the image built into this test program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/frames.h"
#include "engine/image.h"
#include "platform/embedded_image.h"
#include "tests/support/virtual_link.h"

namespace {

constexpr std::int32_t SAMPLE_IMAGE_LENGTH = 1573624;
constexpr std::uint32_t MAX_TICKS = 100000;

std::string trace_lines(std::int32_t padded_size)
{
    char text[96];
    std::snprintf(text, sizeof text, "\nFlash Image Base 0x8008000\nFlash Image Size %#x bytes\n",
                  static_cast<unsigned>(padded_size));
    return text;
}

std::uint32_t word_at(const std::uint8_t* bytes, std::size_t offset)
{
    return std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
           std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}

// The loader's copy lives for the whole program; each test frees its own.
class ImageTest : public ::testing::Test {
protected:
    void SetUp() override { virtual_link_reset(); }
    void TearDown() override { std::free(const_cast<std::uint8_t*>(test_job.job.image)); }

    // Prepares a job as start-up does, with the image slot left to the loader.
    UpdateJob& job()
    {
        if (test_job.frame_buffer.empty())
            prepare_job(test_job, {});
        return test_job.job;
    }
    TestJob test_job;
};

TEST(PaddedImageSize, RoundsUpToWholeBlocksAndKeepsOneForAnEmptyImage)
{
    EXPECT_EQ(padded_image_size(0), 16384);
    EXPECT_EQ(padded_image_size(1), 16384);
    EXPECT_EQ(padded_image_size(16383), 16384);
    EXPECT_EQ(padded_image_size(16384), 16384);
    EXPECT_EQ(padded_image_size(16385), 32768);
    EXPECT_EQ(padded_image_size(SAMPLE_IMAGE_LENGTH), 97 * 16384);
    EXPECT_EQ(padded_image_size(MAX_IMAGE_LENGTH), MAX_IMAGE_LENGTH);
}

// All-0xFF bytes, so that padding with erased-flash bytes would show.
TEST_F(ImageTest, CopiesTheImageAndPadsItWithZeros)
{
    const std::vector<std::uint8_t> bytes(16385, 0xFF);
    ASSERT_TRUE(install_firmware_image(bytes.data(), 16385, job()));

    ASSERT_EQ(job().image_size, 32768);
    EXPECT_EQ(job().base_address, FLASH_BASE);
    EXPECT_NE(job().image, bytes.data());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), job().image));
    EXPECT_TRUE(std::all_of(job().image + 16385, job().image + 32768,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(virtual_link().trace_text, trace_lines(32768));
    EXPECT_TRUE(virtual_link().statuses.empty());
    // The CRC the device will report, from the bytes alone: the padded copy's.
    EXPECT_EQ(padded_image_crc(bytes.data(), 16385), image_crc(job().image, job().image_size));
}

TEST_F(ImageTest, ReleaseLengthFillsNinetySevenBlocksTheLastWith760ImageBytes)
{
    const auto bytes = make_test_image(SAMPLE_IMAGE_LENGTH);
    ASSERT_TRUE(install_firmware_image(bytes.data(), SAMPLE_IMAGE_LENGTH, job()));

    ASSERT_EQ(job().image_size, 97 * BLOCK_SIZE);
    const std::uint8_t* last_block = job().image + 96 * BLOCK_SIZE;
    EXPECT_EQ(std::memcmp(last_block, bytes.data() + 96 * BLOCK_SIZE, 760), 0);
    EXPECT_TRUE(std::all_of(last_block + 760, last_block + BLOCK_SIZE,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(virtual_link().trace_text, trace_lines(0x184000));
}

TEST_F(ImageTest, EmptyImageIsOneBlockOfZeros)
{
    ASSERT_TRUE(install_firmware_image(nullptr, 0, job()));
    ASSERT_EQ(job().image_size, BLOCK_SIZE);
    EXPECT_TRUE(std::all_of(job().image, job().image + BLOCK_SIZE,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(virtual_link().trace_text, trace_lines(0x4000));
}

TEST_F(ImageTest, RefusesLengthsItCannotPadAndLeavesTheJobAlone)
{
    const std::uint8_t byte = 1;
    EXPECT_FALSE(install_firmware_image(&byte, -1, job()));
    EXPECT_FALSE(install_firmware_image(&byte, MAX_IMAGE_LENGTH + 1, job()));
    EXPECT_FALSE(install_firmware_image(nullptr, 1, job()));
    EXPECT_EQ(job().image, nullptr);
    EXPECT_EQ(job().image_size, 0);
    EXPECT_TRUE(virtual_link().trace_text.empty());
}

// The padding is programmed over erased (0xFF) flash and is part of the CRC
// that both sides compute, so a short image still verifies.
TEST_F(ImageTest, PaddingIsProgrammedAndCoveredByTheLocalCrc)
{
    const auto bytes = make_test_image(1000);
    ASSERT_TRUE(install_firmware_image(bytes.data(), 1000, job()));
    const std::uint16_t padded_crc = image_crc(job().image, BLOCK_SIZE);
    ASSERT_NE(padded_crc, image_crc(bytes.data(), 1000));

    start_job(job());
    run_job(job(), MAX_TICKS);

    ASSERT_EQ(job().state, JobState::Completed);
    const auto& flash = virtual_link().device.flash;
    EXPECT_TRUE(std::equal(job().image, job().image + BLOCK_SIZE, flash.begin()));
    char local[32];
    std::snprintf(local, sizeof local, "Local  CRC %#x\n", padded_crc);
    EXPECT_NE(virtual_link().trace_text.find(local), std::string::npos);
}

TEST_F(ImageTest, LoadsTheBuiltInImageAndTracesItsBaseAndSize)
{
    const EmbeddedImage embedded = find_embedded_image(nullptr);
    ASSERT_NE(embedded.data, nullptr);
    ASSERT_GT(embedded.length, 0u);

    load_firmware_image(embedded.data, embedded.length, job());

    const std::int32_t length = static_cast<std::int32_t>(embedded.length);
    ASSERT_EQ(job().image_size, padded_image_size(length));
    EXPECT_EQ(job().base_address, FLASH_BASE);
    EXPECT_EQ(std::memcmp(job().image, embedded.data, embedded.length), 0);
    EXPECT_TRUE(std::all_of(job().image + length, job().image + job().image_size,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(virtual_link().trace_text, trace_lines(job().image_size));
}

TEST_F(ImageTest, BuiltInImageUpdatesTheVirtualDevice)
{
    const EmbeddedImage embedded = find_embedded_image(nullptr);
    load_firmware_image(embedded.data, embedded.length, job());
    virtual_link().baud = LINK_BAUD;
    start_job(job());
    run_job(job(), MAX_TICKS);

    ASSERT_EQ(job().state, JobState::Completed);
    const auto& flash = virtual_link().device.flash;
    ASSERT_GE(flash.size(), static_cast<std::size_t>(job().image_size));
    EXPECT_TRUE(std::equal(job().image, job().image + job().image_size, flash.begin()));
    const auto& written = virtual_link().written;
    const auto blocks = std::count_if(written.begin(), written.end(), [](const auto& frame) {
        return frame.size() >= 3 && frame[2] == SUB_PROGRAM;
    });
    EXPECT_EQ(blocks, job().image_size / BLOCK_SIZE);
}

// The sample image that the build generates when no release image is given.
TEST(SampleImage, HasTheReleaseLengthAVectorTableAndTheSameBytesEverywhere)
{
    if (!QDM7_USES_SAMPLE_IMAGE)
        GTEST_SKIP() << "built with a release image (QDM7_FIRMWARE_IMAGE)";
    const EmbeddedImage embedded = find_embedded_image(nullptr);
    ASSERT_EQ(embedded.length, static_cast<std::uint32_t>(SAMPLE_IMAGE_LENGTH));

    // Initial stack pointer: word-aligned, in SRAM.
    const std::uint32_t stack = word_at(embedded.data, 0);
    EXPECT_GE(stack, 0x20000000u);
    EXPECT_LE(stack, 0x20100000u);
    EXPECT_EQ(stack % 8, 0u);
    // Reset address: a Thumb address inside the image, past its vector table.
    const std::uint32_t reset = word_at(embedded.data, 4);
    EXPECT_EQ(reset & 1u, 1u);
    EXPECT_GT(reset & ~1u, FLASH_BASE);
    EXPECT_LT(reset & ~1u, FLASH_BASE + embedded.length);

    // Not one value repeated, anywhere: every block differs from the next.
    for (std::uint32_t offset = BLOCK_SIZE; offset + BLOCK_SIZE <= embedded.length;
         offset += BLOCK_SIZE)
        ASSERT_NE(std::memcmp(embedded.data + offset - BLOCK_SIZE, embedded.data + offset,
                              BLOCK_SIZE),
                  0)
            << "blocks at " << offset - BLOCK_SIZE << " and " << offset;

    // CRC-16/MODBUS of the generator's output, computed independently.
    EXPECT_EQ(image_crc(embedded.data, SAMPLE_IMAGE_LENGTH), 0x510F);
}

} // namespace
