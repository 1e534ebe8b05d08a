// The firmware image built into the program: loaded once at start-up, padded
// with zeros to whole 16 KiB blocks and placed at FLASH_BASE.
#pragma once

#include <cstdint>

#include "engine/job.h"

// Padded size = ((length - 1) / 16384 + 1) * 16384, signed and truncating,
// so an empty image still makes one block of zeros.
std::int32_t padded_image_size(std::int32_t length);

// Copies the embedded image into a zero-filled buffer of the padded size and
// stores its pointer, size and base address in the job. instance is the
// module that carries the image (the HINSTANCE on Windows; unused elsewhere).
void load_firmware_image(void* instance, UpdateJob& job);
