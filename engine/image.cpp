#include "engine/image.h"

#include <cstdlib>
#include <cstring>

#include "engine/frames.h"
#include "platform/report.h"

static_assert(MAX_IMAGE_LENGTH % BLOCK_SIZE == 0);

std::int32_t padded_image_size(std::int32_t length)
{
    return ((length - 1) / BLOCK_SIZE + 1) * BLOCK_SIZE;
}

std::uint16_t padded_image_crc(const std::uint8_t* bytes, std::int32_t length)
{
    std::uint16_t crc = image_crc(bytes, length);
    static const std::uint8_t zeros[BLOCK_SIZE] = {};
    for (std::int32_t left = padded_image_size(length) - length; left > 0; left -= BLOCK_SIZE)
        crc = crc16_update(crc, zeros, static_cast<std::size_t>(left < BLOCK_SIZE ? left : BLOCK_SIZE));
    return crc;
}

bool install_firmware_image(const std::uint8_t* bytes, std::int32_t length, UpdateJob& job)
{
    if (length < 0 || length > MAX_IMAGE_LENGTH || (length > 0 && bytes == nullptr))
        return false;
    const std::int32_t size = padded_image_size(length);
    // Zero padding, not 0xFF: the padding is programmed and covered by the
    // CRC like the image itself, so the device must see the same zeros.
    auto* copy = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(size), 1));
    if (copy == nullptr)
        return false;
    if (length > 0)
        std::memcpy(copy, bytes, static_cast<std::size_t>(length));
    job.image = copy;
    job.image_size = size;
    job.base_address = FLASH_BASE;
    job_trace(job, "\nFlash Image Base %#x\n", job.base_address);
    job_trace(job, "Flash Image Size %#x bytes\n", static_cast<unsigned>(job.image_size));
    return true;
}

bool try_load_firmware_image(const std::uint8_t* bytes, std::uint32_t length, UpdateJob& job,
                             ImageFailure& failure)
{
    failure = ImageFailure{};
    if (length > static_cast<std::uint32_t>(MAX_IMAGE_LENGTH)) {
        failure.kind = ImageFailureKind::TooLarge;
        failure.error_code = failure_cause_code(FailureCause::TooLarge);
        failure.text = "The firmware image built into this program is too large";
        return false;
    }
    if (!install_firmware_image(bytes, static_cast<std::int32_t>(length), job)) {
        failure.kind = ImageFailureKind::OutOfMemory;
        failure.error_code = failure_cause_code(FailureCause::OutOfMemory);
        failure.text = "Not enough memory to hold the firmware image";
        return false;
    }
    return true;
}

void load_firmware_image(const std::uint8_t* bytes, std::uint32_t length, UpdateJob& job)
{
    ImageFailure failure;
    if (!try_load_firmware_image(bytes, length, job, failure))
        fatal_error_with_code(failure.text, failure.error_code);
}

void release_firmware_image(UpdateJob& job)
{
    std::free(const_cast<std::uint8_t*>(job.image));
    job.image = nullptr;
    job.image_size = 0;
}
