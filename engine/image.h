// The firmware image built into the program: loaded once at start-up, padded
// with zeros to whole 16 KiB blocks and placed at FLASH_BASE. Where the
// program keeps it is the platform's business (platform/embedded_image.h).
#pragma once

#include <cstdint>

#include "engine/job.h"

// Padded size = ((length - 1) / 16384 + 1) * 16384, signed and truncating,
// so an empty image still makes one block of zeros. length must lie in
// 0..MAX_IMAGE_LENGTH.
std::int32_t padded_image_size(std::int32_t length);

// The longest image whose padded size still fits the job's signed 32-bit size.
inline constexpr std::int32_t MAX_IMAGE_LENGTH = INT32_MAX / 16384 * 16384;

// The CRC of the image as the job pads it (image_crc of the padded bytes):
// the one the device reports after an update. length as for
// padded_image_size.
std::uint16_t padded_image_crc(const std::uint8_t* bytes, std::int32_t length);

// Copies length bytes into a new zero-filled buffer of the padded size (kept
// for the life of the program), stores its pointer, size and FLASH_BASE in
// the job and traces the base and size through the job's reporter. Returns
// false, with the job untouched, when length is out of range or the buffer
// cannot be allocated.
bool install_firmware_image(const std::uint8_t* bytes, std::int32_t length, UpdateJob& job);

// Why the image a program carries could not be installed.
enum class ImageFailureKind : std::uint8_t {
    None,
    TooLarge,    // longer than MAX_IMAGE_LENGTH
    OutOfMemory, // no room for the padded copy
};

struct ImageFailure {
    ImageFailureKind kind = ImageFailureKind::None;
    // The platform's error number for kind (errno, or Windows' last error),
    // the one the dialog's fatal text names.
    unsigned long error_code = 0;
    const char* text = ""; // one line, as the dialog's fatal text says it
};

// install_firmware_image for the image the program carries, which the
// program finds itself and hands over as bytes (null with length 0: it
// carries none, which makes one block of zeros, with no message). Returns
// true with the image in the job; false with failure saying why, and the
// job untouched.
bool try_load_firmware_image(const std::uint8_t* bytes, std::uint32_t length, UpdateJob& job,
                             ImageFailure& failure);

// try_load_firmware_image for the dialog: an image that cannot be installed
// ends the program through fatal_error, with the failure's text and number.
void load_firmware_image(const std::uint8_t* bytes, std::uint32_t length, UpdateJob& job);

// Frees the job's copy of the image, for a program whose jobs end before it
// does; the job is left without an image.
void release_firmware_image(UpdateJob& job);
