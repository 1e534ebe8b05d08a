#include "platform/embedded_image.h"

// Defined by the image's data object (firmware_image_data.cpp), which the
// build links only into modules that carry the image. Weak, so that a
// module linked without it finds no image.
extern "C" {
extern const std::uint8_t qdm7_firmware_image_begin[] __attribute__((weak));
extern const std::uint8_t qdm7_firmware_image_end[] __attribute__((weak));
}

EmbeddedImage find_embedded_image(void*)
{
    if (qdm7_firmware_image_begin == nullptr || qdm7_firmware_image_end == nullptr)
        return {};
    const auto begin = reinterpret_cast<std::uintptr_t>(qdm7_firmware_image_begin);
    const auto end = reinterpret_cast<std::uintptr_t>(qdm7_firmware_image_end);
    return {qdm7_firmware_image_begin, static_cast<std::uint32_t>(end - begin)};
}
