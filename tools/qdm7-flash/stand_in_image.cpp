// A generated image of three and a half blocks, standing in for the embedded
// one until the build carries it.
#include <cstdlib>
#include <cstring>

#include "engine/frames.h"
#include "engine/image.h"

std::int32_t padded_image_size(std::int32_t length) { return ((length - 1) / BLOCK_SIZE + 1) * BLOCK_SIZE; }

void load_firmware_image(void*, UpdateJob& job)
{
    const std::int32_t length = 3 * BLOCK_SIZE + BLOCK_SIZE / 2;
    const std::int32_t size = padded_image_size(length);
    auto* data = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(size), 1));
    std::uint32_t x = 1;
    for (std::int32_t i = 0; i < length; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<std::uint8_t>(x >> 16);
    }
    job.image = data;
    job.image_size = size;
    job.base_address = FLASH_BASE;
    trace("\nFlash Image Base %#x\n", job.base_address);
    trace("Flash Image Size %#x bytes\n", static_cast<unsigned>(job.image_size));
}
